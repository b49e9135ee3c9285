// Conformance of the USER32 subset the library's notification path relies on: a
// message-only window, messages posted to it (from its own thread and from another one),
// their order and fields as PeekMessageA and GetMessageA return them, filters, the quit
// message, posting to a destroyed window, and the posted-message quota.
//
// Written only against the Win32 API, it is built for Linux against the Win32 stand-in
// and for Windows with mingw-w64 (run under Wine): both must pass.
#include <windows.h>

#include "conformance_check.h"

namespace {

const char kClassName[] = "TqConformanceWindow";
const DWORD kLiveness = 10000;

HWND MakeWindow()
{
    return CreateWindowExA(0, kClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                           nullptr);
}

// Removes every message the calling thread has queued; returns how many there were.
int Drain()
{
    MSG msg;
    int n = 0;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
        ++n;
    return n;
}

void AMessageOnlyWindowIsCreatedAndDestroyed()
{
    HWND window = MakeWindow();
    CHECK(window != nullptr);
    CHECK_EQ(IsWindow(window), TRUE);
    DWORD process = 0;
    CHECK_EQ(GetWindowThreadProcessId(window, &process), GetCurrentThreadId());
    CHECK_EQ(process, GetCurrentProcessId());
    CHECK_EQ(DestroyWindow(window), TRUE);
    CHECK_EQ(IsWindow(window), FALSE);
    Drain();
}

void PostedMessagesComeBackInPostingOrderWithTheirFields()
{
    HWND window = MakeWindow();
    const DWORD before = GetTickCount();
    for (UINT i = 0; i < 5; ++i)
        CHECK_EQ(PostMessageA(window, WM_USER + 1 + i, 100 + i, -static_cast<LPARAM>(i)), TRUE);

    // Looking without removing shows the oldest, as often as one looks.
    MSG peeked;
    for (int i = 0; i < 2; ++i) {
        CHECK_EQ(PeekMessageA(&peeked, nullptr, 0, 0, PM_NOREMOVE), TRUE);
        CHECK_EQ(peeked.message, WM_USER + 1u);
    }
    for (UINT i = 0; i < 5; ++i) {
        MSG msg;
        memset(&msg, 0xCC, sizeof msg);
        BOOL got = i % 2 == 0 ? GetMessageA(&msg, nullptr, 0, 0) : PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE);
        CHECK_EQ(got, TRUE);
        CHECK_EQ(msg.hwnd, window);
        CHECK_EQ(msg.message, WM_USER + 1 + i);
        CHECK_EQ(msg.wParam, 100u + i);
        CHECK_EQ(msg.lParam, -static_cast<LPARAM>(i));
        // The time is the tick count when the message was posted.
        CHECK(msg.time - before <= GetTickCount() - before);
        CHECK_EQ(static_cast<DWORD>(GetMessageTime()), msg.time);
        // The position is where the pointer was when the message was posted, as
        // GetMessagePos reports it for the message last retrieved.
        CHECK_EQ(GetMessagePos(), static_cast<DWORD>(MAKELONG(msg.pt.x, msg.pt.y)));
    }
    MSG none;
    CHECK_EQ(PeekMessageA(&none, nullptr, 0, 0, PM_REMOVE), FALSE);
    DestroyWindow(window);
}

void FullWidthParametersArriveUnchanged()
{
    HWND window = MakeWindow();
    const WPARAM wParams[] = {0, 0xFFFFFFFFu, 0x80000000u};
    const LPARAM lParams[] = {0, -1, static_cast<LPARAM>(0x7FFFFFFF)};
    for (int i = 0; i < 3; ++i)
        CHECK_EQ(PostMessageA(window, WM_APP, wParams[i], lParams[i]), TRUE);
    for (int i = 0; i < 3; ++i) {
        MSG msg;
        CHECK_EQ(GetMessageA(&msg, window, 0, 0), TRUE);
        CHECK_EQ(msg.wParam, wParams[i]);
        CHECK_EQ(msg.lParam, lParams[i]);
    }
    DestroyWindow(window);
}

void FiltersSelectByWindowAndRangeAndKeepTheRestInOrder()
{
    HWND a = MakeWindow();
    HWND b = MakeWindow();
    PostMessageA(a, WM_USER + 1, 1, 0);
    PostMessageA(b, WM_USER + 2, 2, 0);
    PostMessageA(a, WM_USER + 3, 3, 0);
    PostMessageA(nullptr, WM_USER + 4, 4, 0);  // a message of the thread, not of a window

    MSG msg;
    CHECK_EQ(PeekMessageA(&msg, b, 0, 0, PM_REMOVE), TRUE);
    CHECK_EQ(msg.wParam, 2u);
    CHECK_EQ(PeekMessageA(&msg, b, 0, 0, PM_REMOVE), FALSE);
    CHECK_EQ(PeekMessageA(&msg, a, WM_USER + 3, WM_USER + 3, PM_REMOVE), TRUE);
    CHECK_EQ(msg.wParam, 3u);
    CHECK_EQ(PeekMessageA(&msg, a, WM_USER + 5, WM_USER + 9, PM_REMOVE), FALSE);
    // Unfiltered, what is left comes in posting order, the thread message last.
    CHECK_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    CHECK_EQ(msg.hwnd, a);
    CHECK_EQ(msg.wParam, 1u);
    CHECK_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    CHECK_EQ(msg.hwnd, static_cast<HWND>(nullptr));
    CHECK_EQ(msg.wParam, 4u);
    CHECK_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), FALSE);
    DestroyWindow(a);
    DestroyWindow(b);
}

struct Poster {
    HWND window = nullptr;
    UINT count = 0;
    DWORD delayMs = 0;
    int refused = 0;
};

DWORD WINAPI PosterMain(LPVOID parameter)
{
    auto *p = static_cast<Poster *>(parameter);
    Sleep(p->delayMs);
    for (UINT i = 0; i < p->count; ++i) {
        if (!PostMessageA(p->window, WM_USER + 7, i, static_cast<LPARAM>(i) * 3))
            p->refused++;
    }
    return 0;
}

void MessagesPostedByAnotherThreadReachTheWindowsThreadInOrder()
{
    HWND window = MakeWindow();
    Poster poster{window, 200, 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, PosterMain, &poster, 0, nullptr);
    for (UINT i = 0; i < 200; ++i) {
        MSG msg;
        CHECK_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
        if (!CHECK_EQ(msg.wParam, i))
            break;
        CHECK_EQ(msg.hwnd, window);
        CHECK_EQ(msg.lParam, static_cast<LPARAM>(i) * 3);
    }
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CHECK_EQ(poster.refused, 0);
    CloseHandle(thread);

    // GetMessageA waits for a message that is posted later.
    Poster late{window, 1, 100, 0};
    thread = CreateThread(nullptr, 0, PosterMain, &late, 0, nullptr);
    MSG msg;
    CHECK_EQ(GetMessageA(&msg, window, 0, 0), TRUE);
    CHECK_EQ(msg.message, WM_USER + 7u);
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CloseHandle(thread);
    DestroyWindow(window);
}

void TheQuitMessageComesAfterThePostedOnes()
{
    HWND window = MakeWindow();
    PostMessageA(window, WM_USER + 1, 0, 0);
    PostQuitMessage(7);
    PostMessageA(window, WM_USER + 2, 0, 0);
    MSG msg;
    CHECK_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    CHECK_EQ(msg.message, WM_USER + 1u);
    CHECK_EQ(GetMessageA(&msg, nullptr, 0, 0), TRUE);
    CHECK_EQ(msg.message, WM_USER + 2u);
    CHECK_EQ(GetMessageA(&msg, nullptr, 0, 0), FALSE);
    CHECK_EQ(msg.message, static_cast<UINT>(WM_QUIT));
    CHECK_EQ(msg.wParam, 7u);
    CHECK_EQ(msg.hwnd, static_cast<HWND>(nullptr));
    CHECK_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), FALSE);  // one quit only
    DestroyWindow(window);
}

DWORD WINAPI PostOnceMain(LPVOID parameter)
{
    auto *p = static_cast<Poster *>(parameter);
    SetLastError(0xDEADu);
    p->refused = PostMessageA(p->window, WM_USER, 0, 0) ? 0 : static_cast<int>(GetLastError());
    return 0;
}

void PostingToADestroyedWindowFailsAndItsMessagesAreGone()
{
    HWND doomed = MakeWindow();
    HWND other = MakeWindow();
    PostMessageA(doomed, WM_USER + 1, 1, 0);
    PostMessageA(other, WM_USER + 2, 2, 0);
    PostMessageA(doomed, WM_USER + 3, 3, 0);
    CHECK_EQ(DestroyWindow(doomed), TRUE);

    SetLastError(0xDEADu);
    CHECK_EQ(PostMessageA(doomed, WM_USER, 0, 0), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    // From another thread (the library's notification thread) alike.
    Poster poster{doomed, 1, 0, 0};
    HANDLE thread = CreateThread(nullptr, 0, PostOnceMain, &poster, 0, nullptr);
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CHECK_EQ(poster.refused, ERROR_INVALID_WINDOW_HANDLE);
    CloseHandle(thread);

    // Only the other window's message is still queued.
    MSG msg;
    CHECK_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), TRUE);
    CHECK_EQ(msg.hwnd, other);
    CHECK_EQ(msg.wParam, 2u);
    CHECK_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), FALSE);
    DestroyWindow(other);

    // A value that never named a window.
    SetLastError(0xDEADu);
    CHECK_EQ(PostMessageA(reinterpret_cast<HWND>(static_cast<ULONG_PTR>(0x7FFF0)), WM_USER, 0, 0), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

void RetrievingWithADestroyedWindowAsFilterFails()
{
    HWND window = MakeWindow();
    DestroyWindow(window);
    MSG msg;
    SetLastError(0xDEADu);
    CHECK_EQ(PeekMessageA(&msg, window, 0, 0, PM_REMOVE), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    SetLastError(0xDEADu);
    CHECK_EQ(GetMessageA(&msg, window, 0, 0), -1);  // not 0: this is no quit
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
}

HWND gWindowOfEndedThread = nullptr;

DWORD WINAPI MakeWindowAndEnd(LPVOID)
{
    gWindowOfEndedThread = MakeWindow();
    PostMessageA(gWindowOfEndedThread, WM_USER, 0, 0);  // never read
    return 0;
}

void AWindowEndsWithTheThreadThatMadeIt()
{
    // An application's window thread that ends takes its windows along; the library's
    // notification thread then posts to a window that no longer exists.
    HANDLE thread = CreateThread(nullptr, 0, MakeWindowAndEnd, nullptr, 0, nullptr);
    CHECK_EQ(WaitForSingleObject(thread, kLiveness), WAIT_OBJECT_0);
    CloseHandle(thread);
    CHECK(gWindowOfEndedThread != nullptr);
    CHECK_EQ(IsWindow(gWindowOfEndedThread), FALSE);
    SetLastError(0xDEADu);
    CHECK_EQ(PostMessageA(gWindowOfEndedThread, WM_USER, 0, 0), FALSE);
    CHECK_EQ(GetLastError(), ERROR_INVALID_WINDOW_HANDLE);
    MSG msg;
    CHECK_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), FALSE);  // nothing came here
}

void AFullQueueRefusesFurtherPostsUntilItIsRead()
{
    // Windows keeps at most 10000 posted messages per queue by default; a notification
    // thread whose window never reads its messages meets that limit.
    HWND window = MakeWindow();
    const UINT limit = 10000;
    UINT accepted = 0;
    DWORD error = 0;
    for (UINT i = 0; i < limit + 5; ++i) {
        SetLastError(0xDEADu);
        if (PostMessageA(window, WM_USER, i, 0)) {
            accepted++;
        } else {
            error = GetLastError();
            break;
        }
    }
    KNOWN_DIVERGENCE(conformance::kOnWine, "Wine sets no limit on a queue's posted messages")
    {
        CHECK_EQ(accepted, limit);
        CHECK_EQ(error, ERROR_NOT_ENOUGH_QUOTA);
    }
    // Reading one message makes room for one more.
    MSG msg;
    CHECK_EQ(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE), TRUE);
    CHECK_EQ(msg.wParam, 0u);
    CHECK_EQ(PostMessageA(window, WM_USER, 99999, 0), TRUE);
    CHECK_EQ(static_cast<UINT>(Drain()), accepted);
    DestroyWindow(window);
}

}  // namespace

int main()
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = kClassName;
    if (!CHECK(RegisterClassA(&wc) != 0))
        return conformance::Finish("conformance_user32");

    RUN_CASE(AMessageOnlyWindowIsCreatedAndDestroyed);
    RUN_CASE(PostedMessagesComeBackInPostingOrderWithTheirFields);
    RUN_CASE(FullWidthParametersArriveUnchanged);
    RUN_CASE(FiltersSelectByWindowAndRangeAndKeepTheRestInOrder);
    RUN_CASE(MessagesPostedByAnotherThreadReachTheWindowsThreadInOrder);
    RUN_CASE(TheQuitMessageComesAfterThePostedOnes);
    RUN_CASE(PostingToADestroyedWindowFailsAndItsMessagesAreGone);
    RUN_CASE(RetrievingWithADestroyedWindowAsFilterFails);
    RUN_CASE(AWindowEndsWithTheThreadThatMadeIt);
    RUN_CASE(AFullQueueRefusesFurtherPostsUntilItIsRead);
    return conformance::Finish("conformance_user32");
}
