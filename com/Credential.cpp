#include "com/Credential.h"

#include <crypto++/rijndael.h>

#include <algorithm>
#include <cstring>

#include "support/Base64.h"
#include "support/TextConvert.h"

std::string DecryptCredential(const std::string& base64, const std::string& keyText) {
    const std::string decoded = Base64Decode(base64.data(), static_cast<int>(base64.size()));

    unsigned char key[CryptoPP::Rijndael::DEFAULT_KEYLENGTH] = {};
    unsigned char block[CryptoPP::Rijndael::BLOCKSIZE] = {};
    std::memcpy(key, keyText.data(), std::min(keyText.size(), sizeof key));
    std::memcpy(block, decoded.data(), std::min(decoded.size(), sizeof block));

    // One block on its own: no chaining, no initialisation vector, no fill scheme to strip.
    CryptoPP::Rijndael::Decryption decryption(key, sizeof key);
    unsigned char plain[CryptoPP::Rijndael::BLOCKSIZE] = {};
    decryption.ProcessBlock(block, plain);

    const unsigned char* end = std::find(plain, plain + sizeof plain, 0);
    return std::string(reinterpret_cast<const char*>(plain), static_cast<size_t>(end - plain));
}

CString DecryptCredentialText(const CString& text, const std::string& keyText) {
    std::string ansi;
    CStringToAnsiString(text, ansi);
    CString result;
    AnsiToCString(DecryptCredential(ansi, keyText), result);
    return result;
}
