// Credentials that a page passes encrypted: the Base64 text of one AES-128 block holding the credential's
// bytes in the ANSI code page, NUL-ended when shorter than 16 bytes. The key is the first 16 bytes of a key
// text.
#pragma once

#include <string>

#include "classlib/CString.h"

// Decodes the Base64 text, decrypts its first 16 bytes (zero-filled when fewer) under the first 16 bytes of
// keyText (zero-filled when shorter), and returns the block up to its first NUL byte, or all 16 bytes.
std::string DecryptCredential(const std::string& base64, const std::string& keyText);

// DecryptCredential on the text in the ANSI code page, the result widened from it again.
CString DecryptCredentialText(const CString& text, const std::string& keyText);
