#include "com/PageThreadDelivery.h"

#include "classlib/ComModule.h"
#include "classlib/ComResult.h"

namespace {

// The signal that the queue holds something; its parameters mean nothing.
constexpr UINT kSignalMessage = WM_APP + 0x4B1;
constexpr UINT_PTR kPollTimer = 1;
constexpr UINT kPollMilliseconds = 100;

// Takes an entry (a cookie, 0 for none) out of the Global Interface Table.
void RevokeFromGlobalTable(DWORD cookie) {
    if (!cookie) return;
    CComPtr<IGlobalInterfaceTable> git;
    if (SUCCEEDED(CAtlModule::Get()->GetGITPtr(&git))) git->RevokeInterfaceFromGlobal(cookie);
}

}  // namespace

// ---- the window

const WindowMessageEntry<PageThreadDelivery::SignalWindow>*
PageThreadDelivery::SignalWindow::GetMessageMap() {
    static const WindowMessageEntry<SignalWindow> map[] = {
        {kSignalMessage, kSignalMessage, &SignalWindow::OnSignal},
        {WM_TIMER, WM_TIMER, &SignalWindow::OnTimer},
        // Nobody but the object closes its window.
        {WM_CLOSE, WM_CLOSE, &SignalWindow::OnClose},
        {0, 0, nullptr},
    };
    return map;
}

LRESULT PageThreadDelivery::SignalWindow::OnSignal(UINT, WPARAM, LPARAM, bool&) {
    owner_.Drain();
    return 0;
}

LRESULT PageThreadDelivery::SignalWindow::OnTimer(UINT, WPARAM wParam, LPARAM, bool&) {
    // Handled here in every case: the default procedure would call a procedure named by lParam.
    if (wParam != kPollTimer) return 0;
    {
        ScopedLock hold(owner_.lock_);
        if (owner_.abandoned_) return 0;
    }
    // What the client does can end the object's last work; the object stays until this call is over.
    CComPtr<IUnknown> keepAlive(owner_.object_);
    // A start that could not be made for want of memory stays unmade; the page sees no change.
    Guarded([&] { owner_.client_->OnPoll(); });
    owner_.Drain();
    return 0;
}

LRESULT PageThreadDelivery::SignalWindow::OnClose(UINT, WPARAM, LPARAM, bool&) { return 0; }

// ---- the delivery

PageThreadDelivery::PageThreadDelivery() : window_(*this) {}

PageThreadDelivery::~PageThreadDelivery() { Abandon(); }

HRESULT PageThreadDelivery::Create(Client* client, IUnknown* object, REFIID iid) {
    client_ = client;
    object_ = object;
    iid_ = iid;
    if (!window_.CreateMessageOnly()) return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
}

void PageThreadDelivery::Abandon() {
    {
        ScopedLock hold(lock_);
        if (abandoned_) return;
        abandoned_ = true;
        // The waiting workers return without them and let go of them.
        head_ = tail_ = nullptr;
    }
    WakeAllConditionVariable(&done_);
    RevokeFromGlobalTable(gitCookie_.exchange(0));
}

void PageThreadDelivery::TakeWork(int kind) {
    if (kind < 0 || kind >= kWorkKinds) return;
    if (RunningWork() == 0) {
        // The workers' way back to the page's apartment. When the interface cannot be marshalled the entry
        // is missing, and every fetch fails.
        CComPtr<IGlobalInterfaceTable> git;
        DWORD cookie = 0;
        if (SUCCEEDED(CAtlModule::Get()->GetGITPtr(&git)) &&
            SUCCEEDED(git->RegisterInterfaceInGlobal(object_, iid_, &cookie)))
            gitCookie_ = cookie;
    }
    ++work_[kind];
    CAtlModule::Get()->Lock();
    object_->AddRef();
    if (!polling_ && SetTimer(window_, kPollTimer, kPollMilliseconds, nullptr))
        polling_.Reset(WindowTimer{window_, kPollTimer});
}

void PageThreadDelivery::EndWork(int kind) {
    if (kind < 0 || kind >= kWorkKinds || work_[kind] == 0) return;
    --work_[kind];
    if (RunningWork() == 0) {
        polling_.Reset();
        RevokeFromGlobalTable(gitCookie_.exchange(0));
    }
    CAtlModule::Get()->Unlock();
    object_->Release();  // last: it may end the object, and this with it
}

int PageThreadDelivery::RunningWork() const {
    int running = 0;
    for (int count : work_) running += count;
    return running;
}

int PageThreadDelivery::RunningWork(int kind) const {
    return kind >= 0 && kind < kWorkKinds ? work_[kind] : 0;
}

void PageThreadDelivery::SignalLocked() {
    if (signalled_) return;
    // A full queue refuses the signal; the poll timer, which runs while any work runs, drains it then.
    signalled_ = PostMessageW(window_, kSignalMessage, 0, 0) != FALSE;
}

bool PageThreadDelivery::Raise(Request& request) {
    ScopedLock hold(lock_);
    if (abandoned_) return false;
    request.next_ = nullptr;
    request.done_ = false;
    if (tail_)
        tail_->next_ = &request;
    else
        head_ = &request;
    tail_ = &request;
    SignalLocked();
    while (!request.done_ && !abandoned_) SleepConditionVariableSRW(&done_, lock_.Native(), INFINITE, 0);
    return request.done_;
}

void PageThreadDelivery::WorkDone(int kind) {
    if (kind < 0 || kind >= kWorkKinds) return;
    ScopedLock hold(lock_);
    if (abandoned_) return;
    ++workDone_[kind];
    SignalLocked();
}

HRESULT PageThreadDelivery::FetchFromGlobalTable(REFIID iid, void** out) const {
    if (!out) return E_POINTER;
    *out = nullptr;
    CComPtr<IGlobalInterfaceTable> git;
    KORVANE_RETURN_IF_FAILED(CAtlModule::Get()->GetGITPtr(&git));
    const DWORD cookie = gitCookie_;
    if (!cookie) return E_INVALIDARG;
    CComPtr<IUnknown> fetched;
    KORVANE_RETURN_IF_FAILED(git->GetInterfaceFromGlobal(cookie, iid, fetched.ReceiveVoid()));
    if (!fetched) return E_NOINTERFACE;
    return fetched->QueryInterface(iid, out);
}

void PageThreadDelivery::Drain() {
    {
        ScopedLock hold(lock_);
        if (abandoned_) return;
    }
    // What runs here can end the object's last work; the object stays until this call is over.
    CComPtr<IUnknown> keepAlive(object_);
    for (;;) {
        Request* request = nullptr;
        int doneKind = -1;
        {
            ScopedLock hold(lock_);
            if (abandoned_) return;
            if (head_) {
                request = head_;
                head_ = request->next_;
                if (!head_) tail_ = nullptr;
            } else {
                for (int kind = 0; kind < kWorkKinds && doneKind < 0; ++kind) {
                    if (workDone_[kind] > 0) {
                        --workDone_[kind];
                        doneKind = kind;
                    }
                }
            }
            if (!request && doneKind < 0) {
                signalled_ = false;
                return;
            }
        }
        if (request) {
            // A raise that ran out of memory is over all the same: its worker goes on.
            Guarded([&] { request->Run(); });
            {
                ScopedLock hold(lock_);
                request->done_ = true;
            }
            WakeAllConditionVariable(&done_);
        } else {
            Guarded([&] { client_->OnWorkDone(doneKind); });
        }
    }
}
