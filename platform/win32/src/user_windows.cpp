// USER32 window classes and windows: RegisterClass(Ex)A, the built-in "STATIC" and
// "Message" classes, CreateWindowExA (message-only with HWND_MESSAGE as parent; hidden
// top-level and child windows otherwise), DestroyWindow, DefWindowProcA, window longs.
// Nothing is ever drawn: a window here is a handle, a procedure and a message queue.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "user_state.h"

namespace tqwin32::user {
namespace {

// Window handles carry a 16-bit reuse count above the 16-bit slot index, so a destroyed
// window's handle stays invalid after its slot is reused.
constexpr std::uint32_t kMaxSlots = 0xFFFE;

HWND MakeHandle(std::uint32_t index, WORD generation)
{
    return reinterpret_cast<HWND>(static_cast<std::uintptr_t>((static_cast<std::uint32_t>(generation) << 16) | index));
}

std::shared_ptr<WindowClass> MakeBuiltin(const char *name, ATOM atom)
{
    auto cls = std::make_shared<WindowClass>();
    cls->atom = atom;
    cls->name = name;
    cls->proc = DefWindowProcA;
    cls->builtin = true;
    return cls;
}

bool IsAtomName(LPCSTR name) { return IS_INTRESOURCE(name); }

std::shared_ptr<WindowClass> FindClassLocked(State &s, LPCSTR name)
{
    if (name == nullptr)
        return nullptr;
    if (IsAtomName(name)) {
        const ATOM atom = LOWORD(reinterpret_cast<ULONG_PTR>(name));
        for (auto *table : {&s.classes, &s.builtins}) {
            for (const auto &[key, cls] : *table) {
                if (cls->atom == atom)
                    return cls;
            }
        }
        return nullptr;
    }
    // A class registered by the application hides a built-in class of the same name.
    const std::string key = LowerCase(name);
    if (auto it = s.classes.find(key); it != s.classes.end())
        return it->second;
    if (auto it = s.builtins.find(key); it != s.builtins.end())
        return it->second;
    return nullptr;
}

ATOM RegisterClassCommon(const WNDCLASSEXA &wc)
{
    if (wc.lpszClassName == nullptr || IsAtomName(wc.lpszClassName) || *wc.lpszClassName == '\0' ||
        std::strlen(wc.lpszClassName) > 255 || wc.lpfnWndProc == nullptr || wc.cbClsExtra < 0 ||
        wc.cbWndExtra < 0) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    const std::string key = LowerCase(wc.lpszClassName);
    if (s.classes.count(key) != 0) {
        FailWithError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    if (s.nextAtom == 0xFFFF) {
        FailWithError(ERROR_NOT_ENOUGH_MEMORY);  // the atom table is full
        return 0;
    }
    auto cls = std::make_shared<WindowClass>();
    cls->atom = s.nextAtom++;
    cls->name = wc.lpszClassName;
    cls->proc = wc.lpfnWndProc;
    cls->style = wc.style;
    cls->classExtra = wc.cbClsExtra;
    cls->windowExtra = wc.cbWndExtra;
    cls->instance = wc.hInstance;
    s.classes[key] = cls;
    return cls->atom;
}

WNDPROC CurrentProc(HWND hwnd)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto window = FindWindowLocked(s, hwnd);
    return window ? window->proc : nullptr;
}

LRESULT CallCurrentProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    WNDPROC proc = CurrentProc(hwnd);
    return proc != nullptr ? proc(hwnd, message, wParam, lParam) : 0;
}

}  // namespace

State &TheState()
{
    static State *state = [] {
        auto *s = new State;
        s->slots.resize(1);
        s->builtins["static"] = MakeBuiltin("Static", 0x0082);
        s->builtins["message"] = MakeBuiltin("Message", s->nextAtom++);
        return s;
    }();
    return *state;
}

std::string LowerCase(const char *name)
{
    std::string key(name);
    for (char &c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return key;
}

std::shared_ptr<Window> FindWindowLocked(State &s, HWND hwnd)
{
    const auto value = reinterpret_cast<std::uintptr_t>(hwnd);
    if (value > 0xFFFFFFFFu)
        return nullptr;
    const std::uint32_t index = value & 0xFFFF;
    const WORD generation = static_cast<WORD>(value >> 16);
    if (index == 0 || index >= s.slots.size())
        return nullptr;
    const Slot &slot = s.slots[index];
    if (!slot.window || slot.generation != generation)
        return nullptr;
    return slot.window;
}

std::shared_ptr<Queue> QueueOfThreadLocked(State &s, DWORD threadId)
{
    auto it = s.queues.find(threadId);
    return it == s.queues.end() ? nullptr : it->second;
}

std::shared_ptr<Queue> QueueForThreadLocked(State &s, DWORD threadId)
{
    auto &queue = s.queues[threadId];
    if (!queue) {
        queue = std::make_shared<Queue>();
        queue->threadId = threadId;
    }
    return queue;
}

bool IsDescendantLocked(State &s, HWND ancestor, HWND hwnd)
{
    auto window = FindWindowLocked(s, hwnd);
    while (window && (window->style & WS_CHILD) && window->parent != nullptr) {
        if (window->parent == ancestor)
            return true;
        window = FindWindowLocked(s, window->parent);
    }
    return false;
}

void RemoveWindowLocked(State &s, const std::shared_ptr<Window> &window)
{
    for (HWND child : std::vector<HWND>(window->children)) {
        if (auto c = FindWindowLocked(s, child))
            RemoveWindowLocked(s, c);
    }
    const auto value = reinterpret_cast<std::uintptr_t>(window->handle);
    const std::uint32_t index = value & 0xFFFF;
    Slot &slot = s.slots[index];
    slot.window.reset();
    slot.generation = static_cast<WORD>(slot.generation == 0xFFFF ? 1 : slot.generation + 1);
    s.freeSlots.push_back(index);
    window->windowClass->windows--;
    if (auto parent = FindWindowLocked(s, window->parent)) {
        auto &siblings = parent->children;
        siblings.erase(std::remove(siblings.begin(), siblings.end(), window->handle), siblings.end());
    }
    // A destroyed window's pending messages and timers go with it.
    if (auto queue = QueueOfThreadLocked(s, window->threadId)) {
        auto &posted = queue->posted;
        posted.erase(std::remove_if(posted.begin(), posted.end(), [&](const MSG &m) { return m.hwnd == window->handle; }),
                     posted.end());
        auto &timers = queue->timers;
        timers.erase(std::remove_if(timers.begin(), timers.end(), [&](const Timer &t) { return t.hwnd == window->handle; }),
                     timers.end());
    }
}

// Windows are destroyed when the thread that created them ends; the thread can no longer
// run their procedures, so no message is sent. Senders still waiting on the thread get 0.
void ThreadExiting(DWORD threadId)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    for (std::size_t i = 1; i < s.slots.size(); ++i) {
        auto window = s.slots[i].window;
        if (window && window->threadId == threadId)
            RemoveWindowLocked(s, window);
    }
    auto queue = QueueOfThreadLocked(s, threadId);
    if (!queue)
        return;
    for (SentMessage *sent : queue->sent) {
        sent->result = 0;
        sent->done = true;
        sent->sender->wake.notify_all();
    }
    queue->sent.clear();
    s.queues.erase(threadId);
}

}  // namespace tqwin32::user

using namespace tqwin32;
using namespace tqwin32::user;

extern "C" ATOM WINAPI RegisterClassA(const WNDCLASSA *lpWndClass)
{
    if (lpWndClass == nullptr) {
        FailWithError(ERROR_NOACCESS);
        return 0;
    }
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.style = lpWndClass->style;
    wc.lpfnWndProc = lpWndClass->lpfnWndProc;
    wc.cbClsExtra = lpWndClass->cbClsExtra;
    wc.cbWndExtra = lpWndClass->cbWndExtra;
    wc.hInstance = lpWndClass->hInstance;
    wc.hIcon = lpWndClass->hIcon;
    wc.hCursor = lpWndClass->hCursor;
    wc.hbrBackground = lpWndClass->hbrBackground;
    wc.lpszMenuName = lpWndClass->lpszMenuName;
    wc.lpszClassName = lpWndClass->lpszClassName;
    return RegisterClassCommon(wc);
}

extern "C" ATOM WINAPI RegisterClassExA(const WNDCLASSEXA *lpWndClass)
{
    if (lpWndClass == nullptr) {
        FailWithError(ERROR_NOACCESS);
        return 0;
    }
    if (lpWndClass->cbSize != sizeof(WNDCLASSEXA)) {
        FailWithError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return RegisterClassCommon(*lpWndClass);
}

extern "C" BOOL WINAPI UnregisterClassA(LPCSTR lpClassName, HINSTANCE hInstance)
{
    (void)hInstance;
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto cls = FindClassLocked(s, lpClassName);
    if (!cls || cls->builtin)
        return FailWithError(ERROR_CLASS_DOES_NOT_EXIST);
    if (cls->windows > 0)
        return FailWithError(ERROR_CLASS_HAS_WINDOWS);
    s.classes.erase(LowerCase(cls->name.c_str()));
    return TRUE;
}

extern "C" HWND WINAPI CreateWindowExA(DWORD dwExStyle, LPCSTR lpClassName, LPCSTR lpWindowName, DWORD dwStyle,
                                       int X, int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu,
                                       HINSTANCE hInstance, LPVOID lpParam)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    HWND hwnd = nullptr;
    {
        std::lock_guard lock(s.mutex);
        auto cls = FindClassLocked(s, lpClassName);
        if (!cls) {
            FailWithError(ERROR_CANNOT_FIND_WND_CLASS);
            return nullptr;
        }
        std::shared_ptr<Window> parent;
        const bool messageOnly = hWndParent == HWND_MESSAGE;
        if (!messageOnly && hWndParent != nullptr) {
            parent = FindWindowLocked(s, hWndParent);
            if (!parent) {
                FailWithError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
        }
        if ((dwStyle & WS_CHILD) && !parent && !messageOnly) {
            FailWithError(ERROR_TLW_WITH_WSCHILD);
            return nullptr;
        }
        std::uint32_t index;
        if (!s.freeSlots.empty() && (s.freeSlots.size() > 64 || s.slots.size() > kMaxSlots)) {
            index = s.freeSlots.front();  // oldest freed slot first: stale handles stay invalid longer
            s.freeSlots.pop_front();
        } else if (s.slots.size() <= kMaxSlots) {
            index = static_cast<std::uint32_t>(s.slots.size());
            s.slots.emplace_back();
        } else {
            FailWithError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        auto window = std::make_shared<Window>();
        window->handle = hwnd = MakeHandle(index, s.slots[index].generation);
        window->threadId = threadId;
        window->windowClass = cls;
        window->proc = cls->proc;
        window->text = lpWindowName != nullptr ? lpWindowName : "";
        window->style = dwStyle;
        window->exStyle = dwExStyle;
        window->parent = parent ? parent->handle : nullptr;
        window->messageOnly = messageOnly;
        window->instance = hInstance;
        window->id = (dwStyle & WS_CHILD) ? reinterpret_cast<LONG_PTR>(hMenu) : 0;
        window->extra.assign(static_cast<std::size_t>(cls->windowExtra), 0);
        s.slots[index].window = window;
        cls->windows++;
        if (parent)
            parent->children.push_back(hwnd);
        QueueForThreadLocked(s, threadId);
    }

    CREATESTRUCTA cs{};
    cs.lpCreateParams = lpParam;
    cs.hInstance = hInstance;
    cs.hMenu = hMenu;
    cs.hwndParent = hWndParent;
    cs.cy = nHeight;
    cs.cx = nWidth;
    cs.y = Y;
    cs.x = X;
    cs.style = static_cast<LONG>(dwStyle);
    cs.lpszName = lpWindowName;
    cs.lpszClass = lpClassName;
    cs.dwExStyle = dwExStyle;
    const auto csParam = reinterpret_cast<LPARAM>(&cs);

    // A procedure that refuses the window (FALSE from WM_NCCREATE, -1 from WM_CREATE) gets
    // only WM_NCDESTROY before the window goes: it was never fully created, so there is
    // no WM_DESTROY.
    if (CallCurrentProc(hwnd, WM_NCCREATE, 0, csParam) == FALSE ||
        CallCurrentProc(hwnd, WM_CREATE, 0, csParam) == -1) {
        CallCurrentProc(hwnd, WM_NCDESTROY, 0, 0);
        std::lock_guard lock(s.mutex);
        if (auto window = FindWindowLocked(s, hwnd))
            RemoveWindowLocked(s, window);
        return nullptr;
    }
    if (!IsWindow(hwnd))
        return nullptr;  // the procedure destroyed it while it was being created
    return hwnd;
}

extern "C" BOOL WINAPI DestroyWindow(HWND hWnd)
{
    const DWORD threadId = CurrentThreadId();
    State &s = TheState();
    {
        std::lock_guard lock(s.mutex);
        auto window = FindWindowLocked(s, hWnd);
        if (!window)
            return FailWithError(ERROR_INVALID_WINDOW_HANDLE);
        if (window->threadId != threadId)
            return FailWithError(ERROR_ACCESS_DENIED);  // only the creating thread may destroy it
        if (window->destroying)
            return TRUE;  // already on its way out (DestroyWindow from its own WM_DESTROY)
        window->destroying = true;
    }
    CallCurrentProc(hWnd, WM_DESTROY, 0, 0);
    std::vector<HWND> children;
    {
        std::lock_guard lock(s.mutex);
        if (auto window = FindWindowLocked(s, hWnd))
            children = window->children;
    }
    for (HWND child : children) {
        if (DestroyWindow(child) == FALSE) {
            // A child created by another thread cannot be sent its messages from here.
            std::lock_guard lock(s.mutex);
            if (auto c = FindWindowLocked(s, child))
                RemoveWindowLocked(s, c);
        }
    }
    CallCurrentProc(hWnd, WM_NCDESTROY, 0, 0);
    std::lock_guard lock(s.mutex);
    if (auto window = FindWindowLocked(s, hWnd))
        RemoveWindowLocked(s, window);
    return TRUE;
}

extern "C" BOOL WINAPI IsWindow(HWND hWnd)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    return FindWindowLocked(s, hWnd) ? TRUE : FALSE;
}

extern "C" HWND WINAPI GetParent(HWND hWnd)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto window = FindWindowLocked(s, hWnd);
    if (!window) {
        FailWithError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    // The parent of a child window, the owner of a pop-up window, otherwise none.
    if ((window->style & WS_CHILD) || (window->style & WS_POPUP))
        return window->parent;
    return nullptr;
}

extern "C" DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto window = FindWindowLocked(s, hWnd);
    if (!window) {
        FailWithError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId != nullptr)
        *lpdwProcessId = static_cast<DWORD>(getpid());
    return window->threadId;
}

extern "C" LRESULT WINAPI CallWindowProcA(WNDPROC lpPrevWndFunc, HWND hWnd, UINT Msg, WPARAM wParam,
                                          LPARAM lParam)
{
    if (lpPrevWndFunc == nullptr)
        return 0;
    return lpPrevWndFunc(hWnd, Msg, wParam, lParam);
}

extern "C" LRESULT WINAPI DefWindowProcA(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE: {
        const auto *cs = reinterpret_cast<const CREATESTRUCTA *>(lParam);
        if (cs != nullptr && cs->lpszName != nullptr && !IS_INTRESOURCE(cs->lpszName)) {
            State &s = TheState();
            std::lock_guard lock(s.mutex);
            if (auto window = FindWindowLocked(s, hWnd))
                window->text = cs->lpszName;
        }
        return TRUE;
    }
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SETTEXT: {
        State &s = TheState();
        std::lock_guard lock(s.mutex);
        auto window = FindWindowLocked(s, hWnd);
        if (!window)
            return FALSE;
        const auto *text = reinterpret_cast<const char *>(lParam);
        window->text = text != nullptr ? text : "";
        return TRUE;
    }
    case WM_GETTEXT: {
        State &s = TheState();
        std::lock_guard lock(s.mutex);
        auto window = FindWindowLocked(s, hWnd);
        auto *buffer = reinterpret_cast<char *>(lParam);
        if (!window || buffer == nullptr || wParam == 0)
            return 0;
        const std::size_t n = std::min<std::size_t>(window->text.size(), wParam - 1);
        std::memcpy(buffer, window->text.data(), n);
        buffer[n] = '\0';
        return static_cast<LRESULT>(n);
    }
    case WM_GETTEXTLENGTH: {
        State &s = TheState();
        std::lock_guard lock(s.mutex);
        auto window = FindWindowLocked(s, hWnd);
        return window ? static_cast<LRESULT>(window->text.size()) : 0;
    }
    default:
        return 0;
    }
}

namespace {

// Reads or replaces one window long; `width` is 4 for the LONG forms, 8 for the _PTR forms.
LONG_PTR AccessWindowLong(HWND hWnd, int nIndex, std::size_t width, const LONG_PTR *newValue)
{
    State &s = TheState();
    std::lock_guard lock(s.mutex);
    auto window = FindWindowLocked(s, hWnd);
    if (!window) {
        FailWithError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    auto exchange = [&](auto &field) -> LONG_PTR {
        const auto old = static_cast<LONG_PTR>(field);
        if (newValue != nullptr)
            field = static_cast<std::remove_reference_t<decltype(field)>>(*newValue);
        return old;
    };
    switch (nIndex) {
    case GWL_STYLE:
        return exchange(window->style);
    case GWL_EXSTYLE:
        return exchange(window->exStyle);
    case GWLP_ID:
        return exchange(window->id);
    case GWLP_USERDATA:
        return exchange(window->userData);
    case GWLP_WNDPROC:
    case GWLP_HINSTANCE:
    case GWLP_HWNDPARENT:
        if (width == sizeof(LONG) && sizeof(LONG) != sizeof(LONG_PTR)) {
            // A pointer does not fit a LONG: Win64 refuses these indices in the LONG forms.
            FailWithError(ERROR_INVALID_INDEX);
            return 0;
        }
        if (nIndex == GWLP_WNDPROC) {
            const auto old = reinterpret_cast<LONG_PTR>(window->proc);
            if (newValue != nullptr)
                window->proc = reinterpret_cast<WNDPROC>(*newValue);
            return old;
        }
        if (nIndex == GWLP_HINSTANCE) {
            const auto old = reinterpret_cast<LONG_PTR>(window->instance);
            if (newValue != nullptr)
                window->instance = reinterpret_cast<HINSTANCE>(*newValue);
            return old;
        }
        return reinterpret_cast<LONG_PTR>(window->parent);
    default:
        break;
    }
    if (nIndex < 0 || static_cast<std::size_t>(nIndex) + width > window->extra.size()) {
        FailWithError(ERROR_INVALID_INDEX);
        return 0;
    }
    unsigned char *at = window->extra.data() + nIndex;
    LONG_PTR old = 0;
    if (width == sizeof(LONG)) {
        LONG value;
        std::memcpy(&value, at, sizeof value);
        old = value;
        if (newValue != nullptr) {
            value = static_cast<LONG>(*newValue);
            std::memcpy(at, &value, sizeof value);
        }
    } else {
        std::memcpy(&old, at, sizeof old);
        if (newValue != nullptr)
            std::memcpy(at, newValue, sizeof *newValue);
    }
    return old;
}

}  // namespace

extern "C" LONG WINAPI GetWindowLongA(HWND hWnd, int nIndex)
{
    return static_cast<LONG>(AccessWindowLong(hWnd, nIndex, sizeof(LONG), nullptr));
}

extern "C" LONG WINAPI SetWindowLongA(HWND hWnd, int nIndex, LONG dwNewLong)
{
    const LONG_PTR value = dwNewLong;
    return static_cast<LONG>(AccessWindowLong(hWnd, nIndex, sizeof(LONG), &value));
}

extern "C" LONG_PTR WINAPI GetWindowLongPtrA(HWND hWnd, int nIndex)
{
    return AccessWindowLong(hWnd, nIndex, sizeof(LONG_PTR), nullptr);
}

extern "C" LONG_PTR WINAPI SetWindowLongPtrA(HWND hWnd, int nIndex, LONG_PTR dwNewLong)
{
    return AccessWindowLong(hWnd, nIndex, sizeof(LONG_PTR), &dwNewLong);
}
