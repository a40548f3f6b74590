// CWindowImpl: the message map, the class registered once, message-only and child windows, destruction, and
// messages that another program can send to the window.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "classlib/Window.h"

namespace {

constexpr UINT kFirstSignal = WM_APP + 1;
constexpr UINT kLastSignal = WM_APP + 3;
const wchar_t kClassName[] = L"KorvaneWindowTestClass";

class RecordingWindow : public CWindowImpl<RecordingWindow> {
public:
    static const wchar_t* GetWndClassName() { return kClassName; }
    static const WindowMessageEntry<RecordingWindow>* GetMessageMap() {
        static const WindowMessageEntry<RecordingWindow> map[] = {
            {kFirstSignal, kLastSignal, &RecordingWindow::OnSignal},
            {WM_USER, WM_USER, &RecordingWindow::OnPassedOn},
            {WM_CLOSE, WM_CLOSE, &RecordingWindow::OnClose},
            {WM_NCDESTROY, WM_NCDESTROY, &RecordingWindow::OnNcDestroy},
            {0, 0, nullptr},
        };
        return map;
    }

    LRESULT OnSignal(UINT message, WPARAM wParam, LPARAM, bool&) {
        heard.push_back(message);
        return static_cast<LRESULT>(wParam) * 2;
    }
    LRESULT OnPassedOn(UINT message, WPARAM, LPARAM, bool& handled) {
        heard.push_back(message);
        handled = false;
        return 77;
    }
    LRESULT OnClose(UINT message, WPARAM, LPARAM, bool&) {
        heard.push_back(message);
        return 0;
    }
    LRESULT OnNcDestroy(UINT message, WPARAM, LPARAM, bool& handled) {
        heard.push_back(message);
        handled = false;
        return 0;
    }
    void OnFinalMessage(HWND window) override { finalWindow = window; }

    std::vector<UINT> heard;
    HWND finalWindow = nullptr;
};

class OtherWindow : public CWindowImpl<OtherWindow> {
public:
    static const wchar_t* GetWndClassName() { return kClassName; }
    static const WindowMessageEntry<OtherWindow>* GetMessageMap() { return nullptr; }
};

TEST(WindowTest, MessageMapSendsTheRangeToItsHandlerAndTheRestToTheDefault) {
    RecordingWindow window;
    ASSERT_NE(window.CreateMessageOnly(), nullptr) << GetLastError();
    EXPECT_EQ(SendMessageW(window, kFirstSignal, 4, 0), 8);
    EXPECT_EQ(SendMessageW(window, kLastSignal, 5, 0), 10);
    EXPECT_EQ(SendMessageW(window, kLastSignal + 1, 5, 0), 0);
    // A handler that clears `handled` lets the default procedure answer.
    EXPECT_EQ(SendMessageW(window, WM_USER, 0, 0), 0);
    EXPECT_EQ(window.heard, (std::vector<UINT>{kFirstSignal, kLastSignal, WM_USER}));
}

TEST(WindowTest, MessageOnlyWindowIsFoundUnderTheMessageParentAndGoesWithItsObject) {
    HWND handle = nullptr;
    {
        RecordingWindow window;
        handle = window.CreateMessageOnly();
        ASSERT_NE(handle, nullptr);
        EXPECT_EQ(window.GetHwnd(), handle);
        // Tests of the other build run at the same time and have windows of the same class: this one is
        // looked for among all of them.
        bool found = false;
        for (HWND w = FindWindowExW(HWND_MESSAGE, nullptr, kClassName, nullptr); w && !found;
             w = FindWindowExW(HWND_MESSAGE, w, kClassName, nullptr))
            found = w == handle;
        EXPECT_TRUE(found) << "not among the message-only windows of its class";
        // A second creation on the same object is refused.
        EXPECT_EQ(window.CreateMessageOnly(), nullptr);
    }
    EXPECT_FALSE(IsWindow(handle));
}

TEST(WindowTest, ClassIsRegisteredOnceForEveryWindowOfIt) {
    RecordingWindow first;
    RecordingWindow second;
    ASSERT_NE(first.CreateMessageOnly(), nullptr);
    ASSERT_NE(second.CreateMessageOnly(), nullptr);
    SendMessageW(second, kFirstSignal, 1, 0);
    EXPECT_TRUE(first.heard.empty());
    EXPECT_EQ(second.heard, std::vector<UINT>{kFirstSignal});
}

TEST(WindowTest, ChildWindowTakesItsStylesAndIdentifier) {
    RecordingWindow parent;
    ASSERT_NE(parent.CreateMessageOnly(), nullptr);
    RecordingWindow child;
    const RECT rect{2, 3, 42, 23};
    ASSERT_NE(child.Create(parent, rect, WS_CHILD | WS_DISABLED, WS_EX_ACCEPTFILES, 1234), nullptr)
        << GetLastError();
    EXPECT_EQ(GetParent(child), parent.GetHwnd());
    EXPECT_EQ(GetDlgCtrlID(child), 1234);
    EXPECT_TRUE(GetWindowLongW(child, GWL_STYLE) & WS_DISABLED);
    EXPECT_TRUE(GetWindowLongW(child, GWL_EXSTYLE) & WS_EX_ACCEPTFILES);
    RECT client{};
    GetClientRect(child, &client);
    EXPECT_EQ(client.right, 40);
    EXPECT_EQ(client.bottom, 20);
}

TEST(WindowTest, DestroyWindowEndsWithTheFinalMessageAndClearsTheHandle) {
    RecordingWindow window;
    const HWND handle = window.CreateMessageOnly();
    ASSERT_NE(handle, nullptr);
    EXPECT_TRUE(window.DestroyWindow());
    EXPECT_EQ(window.GetHwnd(), nullptr);
    EXPECT_EQ(window.finalWindow, handle);
    EXPECT_EQ(window.heard.back(), static_cast<UINT>(WM_NCDESTROY));
    EXPECT_FALSE(window.DestroyWindow());
    // The object can make a new window after that.
    EXPECT_NE(window.CreateMessageOnly(), nullptr);
}

TEST(WindowTest, MessagesFromOutsideCannotRetargetOrCloseTheWindow) {
    RecordingWindow window;
    ASSERT_NE(window.CreateMessageOnly(), nullptr);
    OtherWindow other;
    ASSERT_NE(other.CreateMessageOnly(), nullptr);
    // A creation message that arrives later carries a pointer that is never taken as the window's object.
    CREATESTRUCTW fake{};
    fake.lpCreateParams = &other;
    SendMessageW(window, WM_NCCREATE, 0, reinterpret_cast<LPARAM>(&fake));
    SendMessageW(window, WM_CREATE, 0, reinterpret_cast<LPARAM>(&fake));
    SendMessageW(window, kFirstSignal, 1, 0);
    EXPECT_EQ(window.heard.back(), kFirstSignal);
    // A class that maps WM_CLOSE to nothing keeps its window.
    SendMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window));
}

}  // namespace
