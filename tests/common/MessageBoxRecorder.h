// Records the message boxes the code under test shows, and shows none (a box blocks under a display): either
// those shown through the platform's message-box seam (code linked into the test), or those a loaded module
// (the server DLL) shows through its import of MessageBoxW, which is patched for the recorder's life.
#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "common/ImportPatch.h"
#include "support/Platform.h"

namespace testcommon {

class MessageBoxRecorder {
public:
    struct Box {
        HWND owner;
        std::wstring text;
        std::wstring caption;
        UINT type;
        DWORD thread;
    };

    // Records the boxes shown through the platform's seam; the previous replacement comes back afterwards.
    MessageBoxRecorder() {
        Activate();
        previousSeam_ = Tamsic::Platform::SetMessageBoxFunction(&RecordSeamBox);
        seamSet_ = true;
    }
    // Records the boxes module shows through MessageBoxW.
    explicit MessageBoxRecorder(HMODULE module) {
        Activate();
        import_.reset(new ImportPatch(module, "user32.dll", "MessageBoxW",
                                      reinterpret_cast<const void*>(&RecordImportedBox)));
    }
    ~MessageBoxRecorder() {
        if (seamSet_) Tamsic::Platform::SetMessageBoxFunction(previousSeam_);
        import_.reset();
        std::lock_guard<std::mutex> hold(Lock());
        Active() = previous_;
    }
    MessageBoxRecorder(const MessageBoxRecorder&) = delete;
    MessageBoxRecorder& operator=(const MessageBoxRecorder&) = delete;

    // False when the module's import of MessageBoxW was not found (boxes would be shown, not recorded).
    bool Applied() const { return seamSet_ || (import_ && import_->Applied()); }

    std::vector<Box> Boxes() const {
        std::lock_guard<std::mutex> hold(Lock());
        return boxes_;
    }
    std::vector<Box> WithCaption(const std::wstring& caption) const {
        std::vector<Box> found;
        for (const Box& b : Boxes())
            if (b.caption == caption) found.push_back(b);
        return found;
    }

private:
    void Activate() {
        std::lock_guard<std::mutex> hold(Lock());
        previous_ = Active();
        Active() = this;
    }
    // Boxes may come from any thread: the recorder that is active now keeps them.
    static int Record(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
        std::lock_guard<std::mutex> hold(Lock());
        if (Active())
            Active()->boxes_.push_back(
                {owner, text ? text : L"", caption ? caption : L"", type, GetCurrentThreadId()});
        return IDOK;
    }
    static int RecordSeamBox(HWND owner, const wchar_t* text, const wchar_t* caption, UINT type) {
        return Record(owner, text, caption, type);
    }
    static int WINAPI RecordImportedBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
        return Record(owner, text, caption, type);
    }
    static std::mutex& Lock() {
        static std::mutex lock;
        return lock;
    }
    static MessageBoxRecorder*& Active() {
        static MessageBoxRecorder* active = nullptr;
        return active;
    }

    MessageBoxRecorder* previous_ = nullptr;
    std::vector<Box> boxes_;
    Tamsic::Platform::MessageBoxFunction previousSeam_ = nullptr;
    bool seamSet_ = false;
    std::unique_ptr<ImportPatch> import_;
};

}  // namespace testcommon
