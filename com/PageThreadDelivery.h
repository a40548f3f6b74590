// Delivery from worker threads to the page's thread for one COM object: the requests the workers hand over,
// the count of the object's running work, and the object's entry in the Global Interface Table.
//
// A worker hands a request to Raise: it goes into the object's own queue, a message to the object's
// message-only window only signals that the queue has something, and the worker waits until the page's
// thread has carried the request out (or the object abandons its work). The page's thread runs a request
// from an ordinary posted message, never inside a sent one, so what it calls may call other apartments and
// processes. The window ignores what a message carries: a message from another program causes at most a
// look at the queue. A worker's work-done notice is a count in the same queue; it cannot get lost, because
// while any work runs a timer looks at the queue too, even when the signal could not be posted.
//
// While work runs the object holds a reference to itself and a module lock, and its interface is in the
// Global Interface Table, so that workers can reach the page's apartment through a proxy.
//
// Use, on the page's thread: Create once; TakeWork before starting a worker, EndWork once it will never
// report again. On a worker: Raise for each request, WorkDone as its very last touch of the object.
// Abandon when the object goes.
#pragma once

#include <windows.h>

#include <objidl.h>

#include <atomic>

#include "classlib/Owners.h"
#include "classlib/Window.h"

class PageThreadDelivery {
public:
    static constexpr int kWorkKinds = 4;

    // What the page's thread does for the object.
    class Client {
    public:
        // A worker of that kind will not report any more: the client ends its work (EndWork).
        virtual void OnWorkDone(int kind) = 0;
        // Every poll period while work runs: the client looks for runs that ended without a report.
        virtual void OnPoll() = 0;

    protected:
        ~Client() = default;
    };

    // What a worker asks the page's thread to do; it lives on the worker's stack while Raise waits.
    class Request {
    public:
        // On the page's thread.
        virtual void Run() = 0;

    protected:
        ~Request() = default;

    private:
        friend class PageThreadDelivery;
        Request* next_ = nullptr;
        bool done_ = false;
    };

    PageThreadDelivery();
    // Abandons the work; the window goes on the page's thread with this object.
    ~PageThreadDelivery();
    PageThreadDelivery(const PageThreadDelivery&) = delete;
    PageThreadDelivery& operator=(const PageThreadDelivery&) = delete;

    // Page's thread, once: the message-only window. object is the served object's identity (not referenced
    // here; TakeWork references it), iid the interface the Global Interface Table holds while work runs.
    HRESULT Create(Client* client, IUnknown* object, REFIID iid);
    // The object goes: nothing more is run, waiting workers return, later requests are refused.
    void Abandon();

    // Page's thread. TakeWork before a worker starts; EndWork drops the references it took and may end the
    // object, so it is the last thing its caller does with the object.
    void TakeWork(int kind);
    void EndWork(int kind);
    int RunningWork() const;
    int RunningWork(int kind) const;

    // Worker. True once the page's thread has run the request; false when the object abandoned its work
    // first (the request then never runs).
    bool Raise(Request& request);
    // Worker: its last touch of the object. The page's thread then calls Client::OnWorkDone(kind).
    void WorkDone(int kind);
    // Any thread: the object's interface out of the Global Interface Table, a proxy for the calling thread.
    HRESULT FetchFromGlobalTable(REFIID iid, void** out) const;

private:
    class SignalWindow : public CWindowImpl<SignalWindow> {
    public:
        explicit SignalWindow(PageThreadDelivery& owner) : owner_(owner) {}
        static const wchar_t* GetWndClassName() { return L"KorvanePageThreadWindow"; }
        static const WindowMessageEntry<SignalWindow>* GetMessageMap();

    private:
        LRESULT OnSignal(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
        LRESULT OnTimer(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
        LRESULT OnClose(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
        PageThreadDelivery& owner_;
    };

    // Page's thread: runs what the queue holds, in order.
    void Drain();
    // With the lock held: makes sure the page's thread will look at the queue.
    void SignalLocked();

    Client* client_ = nullptr;
    IUnknown* object_ = nullptr;
    IID iid_{};
    SignalWindow window_;

    // Guards the queue, the notices, the signal flag and the abandoned flag; workers wait on done_.
    mutable SlimLock lock_;
    CONDITION_VARIABLE done_ = CONDITION_VARIABLE_INIT;
    Request* head_ = nullptr;
    Request* tail_ = nullptr;
    int workDone_[kWorkKinds] = {};
    bool signalled_ = false;
    bool abandoned_ = false;

    // Page's thread only.
    int work_[kWorkKinds] = {};
    UniqueWindowTimer polling_;
    // Read by workers while some work runs, written by the page's thread only while none runs.
    std::atomic<DWORD> gitCookie_{0};
};
