// The X11 window list, the window in front and activation: which top-level windows the
// window manager manages (or, without one, the root's children), in the server's
// stacking order, and who owns them.
#include "platform/platform.h"
#include "platform/process.h"
#include "platform/x11/x11.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <xcb/xcb.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <thread>
#include <type_traits>

using nlohmann::json;
using namespace x11;

namespace {

// A listing asks the same few questions about every window. Xlib waits for each answer
// before it sends the next question, which made a listing cost about ten round trips a
// window; through the connection's XCB side every question about a batch of windows is
// sent before the first answer is read, so a listing costs a few round trips in all.

struct FreeReply {
    void operator()(void* reply) const { std::free(reply); }
};
template <class R> using Reply = std::unique_ptr<R, FreeReply>;

// The answer to a request sent earlier; null when the server refused it (a window that
// has gone), which is counted as Xlib's error handler counts it.
template <class ReplyOf, class Cookie> auto answer(ReplyOf replyOf, Cookie cookie) {
    xcb_generic_error_t* error = nullptr;
    auto* reply = replyOf(XGetXCBConnection(display), cookie, &error);
    if (error) {
        ++errors;
        std::free(error);
    }
    return Reply<std::remove_pointer_t<decltype(reply)>>(reply);
}

xcb_get_property_cookie_t askProperty(Window w, Atom property, Atom type, std::uint32_t length) {
    return xcb_get_property(XGetXCBConnection(display), 0, static_cast<xcb_window_t>(w),
                            static_cast<xcb_atom_t>(property), static_cast<xcb_atom_t>(type), 0,
                            length);
}

// What longs() makes of a property.
std::vector<unsigned long> longsIn(const xcb_get_property_reply_t* reply) {
    std::vector<unsigned long> out;
    if (reply && reply->format == 32) {
        const auto* items = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
        out.assign(items, items + xcb_get_property_value_length(reply) / 4);
    }
    return out;
}

// What text() makes of a property: any 8-bit value, empty when stored with another type.
std::optional<std::string> textIn(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->type == XCB_NONE || reply->format != 8)
        return std::nullopt;
    return std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                       static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

// The child of the root that holds each window (its frame under a reparenting window
// manager, or the window itself; None when it has gone), looked up a level at a time for
// all of them together.
std::vector<Window> topLevels(const std::vector<Window>& windows) {
    std::vector<Window> top(windows.size(), None), at = windows;
    std::vector<std::size_t> open;
    for (std::size_t i = 0; i < windows.size(); ++i) {
        if (windows[i] != None)
            open.push_back(i);
    }
    xcb_connection_t* c = XGetXCBConnection(display);
    for (int depth = 0; depth < 64 && !open.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> asked;
        for (const std::size_t i : open)
            asked.push_back(xcb_query_tree(c, static_cast<xcb_window_t>(at[i])));
        std::vector<std::size_t> next;
        for (std::size_t k = 0; k < open.size(); ++k) {
            const std::size_t i = open[k];
            const auto tree = answer(xcb_query_tree_reply, asked[k]);
            const Window parent = tree ? tree->parent : None;
            if (parent == None || parent == root()) {
                top[i] = parent == None ? None : at[i];
            } else {
                at[i] = parent;
                next.push_back(i);
            }
        }
        open.swap(next);
    }
    return top;
}

// The window at or below w, at most `depth` levels down, that a window manager marked as
// a client (WM_STATE), or None.
Window clientWithin(Window w, int depth) {
    const Atom wmState = atom("WM_STATE");
    if (!longs(w, wmState, wmState).empty())
        return w;
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    Window found = None;
    if (depth > 0 && XQueryTree(display, w, &rootReturn, &parent, &children, &count)) {
        for (unsigned int i = count; found == None && i-- > 0;)
            found = clientWithin(children[i], depth - 1);
    }
    if (children)
        XFree(children);
    return found;
}

// Managed top-level client windows, front to back. The stacking comes from the server's
// own order of the root's children (bottom to top), since _NET_CLIENT_LIST_STACKING is
// wrong on some window managers; each client is placed where its frame stands.
std::vector<Window> clientsFrontToBack() {
    std::vector<Window> clients;
    Window rootReturn = 0, parent = 0, *children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, root(), &rootReturn, &parent, &children, &count))
        return clients;
    std::map<Window, unsigned int> stacking;
    for (unsigned int i = 0; i < count; ++i)
        stacking[children[i]] = i;
    const bool manager = liveWindowManager();
    const auto list =
        manager ? longs(root(), atom("_NET_CLIENT_LIST"), XA_WINDOW) : std::vector<unsigned long>{};
    if (list.empty()) {
        // No window manager, or one that publishes no client list: every top-level window
        // that is not a popup, top first, or the client a manager's frame holds.
        for (unsigned int i = count; i-- > 0;) {
            XWindowAttributes a;
            if (!XGetWindowAttributes(display, children[i], &a) || a.override_redirect)
                continue;
            if (const Window client = clientWithin(children[i], 3))
                clients.push_back(client);
            else if (!manager)
                clients.push_back(children[i]);
        }
    } else {
        std::vector<std::pair<unsigned int, Window>> placed;
        const auto tops = topLevels(std::vector<Window>(list.begin(), list.end()));
        for (std::size_t i = 0; i < list.size(); ++i) {
            const auto frame = stacking.find(tops[i]);
            if (frame != stacking.end())
                placed.emplace_back(frame->second, list[i]);
        }
        std::stable_sort(placed.begin(), placed.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& entry : placed)
            clients.push_back(entry.second);
    }
    if (children)
        XFree(children);
    return clients;
}

// Whether a window with these attributes is on screen: viewable, not iconified, not
// hidden.
bool onScreen(Window w, const XWindowAttributes& a) {
    if (a.map_state != IsViewable)
        return false;
    const auto state = longs(w, atom("WM_STATE"), atom("WM_STATE"));
    if (!state.empty() && state[0] == IconicState)
        return false;
    const Atom hidden = atom("_NET_WM_STATE_HIDDEN");
    for (unsigned long s : longs(w, atom("_NET_WM_STATE"), XA_ATOM)) {
        if (s == hidden)
            return false;
    }
    return true;
}

bool onScreen(Window w) {
    XWindowAttributes a;
    return XGetWindowAttributes(display, w, &a) && onScreen(w, a);
}

// 0 for normal windows and dialogs of these _NET_WM_WINDOW_TYPE types, the macOS level of
// the nearest kind otherwise; nothing for the desktop, which the list leaves out.
std::optional<int> layer(const std::vector<unsigned long>& types) {
    // The first type in the list that is known decides; unknown ones (such as KDE's
    // override type that frameless Qt windows put first) are passed over.
    static const std::pair<const char*, std::optional<int>> known[] = {
        {"_NET_WM_WINDOW_TYPE_NORMAL", 0},
        {"_NET_WM_WINDOW_TYPE_DIALOG", 0},
        {"_NET_WM_WINDOW_TYPE_DESKTOP", std::nullopt},
        {"_NET_WM_WINDOW_TYPE_DOCK", 20},
        {"_NET_WM_WINDOW_TYPE_NOTIFICATION", 23},
        {"_NET_WM_WINDOW_TYPE_UTILITY", 3},
        {"_NET_WM_WINDOW_TYPE_TOOLBAR", 3},
        {"_NET_WM_WINDOW_TYPE_SPLASH", 3},
        {"_NET_WM_WINDOW_TYPE_MENU", 101},
        {"_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", 101},
        {"_NET_WM_WINDOW_TYPE_POPUP_MENU", 101},
        {"_NET_WM_WINDOW_TYPE_TOOLTIP", 101},
        {"_NET_WM_WINDOW_TYPE_COMBO", 101},
        {"_NET_WM_WINDOW_TYPE_DND", 101},
    };
    for (const unsigned long type : types) {
        for (const auto& [name, level] : known) {
            if (type == atom(name))
                return level;
        }
    }
    return 0; // no type, or none known: a normal window
}

// A WM_NAME as UTF-8, in whatever encoding it is stored (Latin-1, compound text or UTF-8).
std::optional<std::string> utf8(XTextProperty& property) {
    std::optional<std::string> out;
    char** list = nullptr;
    int count = 0;
    if (Xutf8TextPropertyToTextList(display, &property, &list, &count) >= Success && list) {
        std::string joined;
        for (int i = 0; i < count; ++i)
            joined += list[i];
        out = joined;
        XFreeStringList(list);
    }
    return out;
}

// A title from WM_NAME as UTF-8 (read as XGetWMName reads it), for a window without a
// _NET_WM_NAME.
std::optional<std::string> titleIn(Window w, const xcb_get_property_reply_t* wmName) {
    if (!wmName || wmName->type == XCB_NONE)
        return std::nullopt;
    if (wmName->format != 8) {
        // Not text: as Xlib hands it over, whatever it makes of it.
        XTextProperty property{};
        if (!XGetWMName(display, w, &property) || !property.value)
            return std::nullopt;
        auto out = utf8(property);
        XFree(property.value);
        return out;
    }
    std::string value(static_cast<const char*>(xcb_get_property_value(wmName)),
                      static_cast<std::size_t>(xcb_get_property_value_length(wmName)));
    XTextProperty property{reinterpret_cast<unsigned char*>(value.data()), wmName->type, 8,
                           value.size()};
    return utf8(property);
}

// The class of WM_CLASS as XGetClassHint reads it: the second of its two strings.
std::optional<std::string> classIn(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->type != XA_STRING || reply->format != 8)
        return std::nullopt;
    std::string value(static_cast<const char*>(xcb_get_property_value(reply)),
                      static_cast<std::size_t>(xcb_get_property_value_length(reply)));
    // A value without the end of its first string has no class.
    const char* data = value.c_str();
    long name = static_cast<long>(std::strlen(data));
    if (name == static_cast<long>(value.size()))
        --name;
    return std::string(data + name + 1);
}

std::optional<std::string> windowClass(Window w) {
    XClassHint hint{nullptr, nullptr};
    if (!XGetClassHint(display, w, &hint))
        return std::nullopt;
    std::optional<std::string> out;
    if (hint.res_class)
        out = hint.res_class;
    if (hint.res_name)
        XFree(hint.res_name);
    if (hint.res_class)
        XFree(hint.res_class);
    return out;
}

// The topmost window of the process, on screen if it has one.
Window applicationWindow(std::int32_t pid) {
    Window any = None;
    for (Window w : clientsFrontToBack()) {
        if (windowPid(w) != pid)
            continue;
        if (onScreen(w))
            return w;
        if (any == None)
            any = w;
    }
    return any;
}

// The applications seen by the last window listing, by pid: the class of each one's
// topmost on-screen window (else its topmost window). The listing looks up the owner of
// every window it lists; answering from the scan it has just made keeps that linear in
// the number of windows instead of quadratic.
std::map<std::int32_t, std::optional<std::string>> listed;
std::map<std::int32_t, bool> listedOnScreen;
bool haveListing = false;

Window activeWindow() {
    const auto active = longs(root(), atom("_NET_ACTIVE_WINDOW"), XA_WINDOW);
    return active.empty() ? None : active[0];
}

// The top-level client window that holds a window: the one with WM_STATE, or the child
// of the root when there is no window manager to set it.
// The guard asks before every character: a window found inside a client is kept (here, not
// in the function, so it outlives the handlers that run at exit).
std::map<Window, Window> clientsFound;

Window clientOf(Window w) {
    if (const auto it = clientsFound.find(w); it != clientsFound.end())
        return it->second;
    const Window start = w;
    const Atom wmState = atom("WM_STATE");
    for (int depth = 0; depth < 64 && w != None && w != root(); ++depth) {
        if (!longs(w, wmState, wmState).empty())
            return clientsFound[start] = w;
        const Window parent = parentOf(w);
        if (parent == None || parent == root())
            return parent == None ? None : w;
        w = parent;
    }
    return None;
}

// The window in front: the one key events go to. While a window manager runs (the root
// property stays behind when it exits), its active window, unless the input focus is in
// another application's window (a manager moves the focus before it updates the
// property) or it names none; without one, the window holding the input focus.
Window frontWindow() {
    Window focus = None;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    if (focus == PointerRoot) {
        // Keys go to the window under the pointer.
        Window rootReturn = 0;
        int rootX = 0, rootY = 0, winX = 0, winY = 0;
        unsigned int mask = 0;
        focus = None;
        XQueryPointer(display, root(), &rootReturn, &focus, &rootX, &rootY, &winX, &winY, &mask);
    }
    Window focused = focus == None ? None : clientOf(focus);
    if (const Window client = focused == None ? None : clientWithin(focused, 3))
        focused = client; // a frame under the pointer: the client it holds
    if (!liveWindowManager())
        return focused;
    const Window active = activeWindow();
    if (active == None ||
        (focused != None && focused != active && windowPid(focused) != windowPid(active)))
        return focused;
    return active;
}

} // namespace

std::optional<std::int32_t> x11::frontPid() {
    const Window front = frontWindow();
    return front == None ? std::nullopt : windowPid(front);
}

Window x11::wineWindowInFront() {
    const Window front = frontWindow();
    std::string name = front == None ? "" : windowClass(front).value_or("");
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name.size() > 4 && name.compare(name.size() - 4, 4, ".exe") == 0 ? front : None;
}

void x11::awaitWindow(Window w) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    const Atom protocols = atom("WM_PROTOCOLS"), ping = atom("_NET_WM_PING");
    const auto taken = w == None ? std::vector<unsigned long>{} : longs(w, protocols, XA_ATOM);
    if (std::find(taken.begin(), taken.end(), ping) == taken.end())
        return;
    // The answer goes to the root window, to those who listen for its children's changes.
    XSelectInput(display, root(), SubstructureNotifyMask);
    static long asked = 0;
    struct Question {
        Atom type;
        long ping, time; // its time: none the window manager asked with
    };
    auto ask = [&] { // whether the window answered in time
        Question q{protocols, static_cast<long>(ping), ++asked};
        sendMessage(w, protocols, {q.ping, q.time, static_cast<long>(w)}, true);
        XFlush(display);
        auto isAnswer = [](Display*, XEvent* got, XPointer arg) -> Bool {
            const auto* asking = reinterpret_cast<const Question*>(arg);
            return got->type == ClientMessage && got->xclient.message_type == asking->type &&
                   got->xclient.data.l[0] == asking->ping && got->xclient.data.l[1] == asking->time;
        };
        XEvent answer;
        while (!XCheckIfEvent(display, &answer, isAnswer, reinterpret_cast<XPointer>(&q))) {
            if (Clock::now() >= deadline)
                return false;
            pollfd connection{ConnectionNumber(display), POLLIN, 0};
            poll(&connection, 1, 1);
        }
        return true;
    };
    // A client answers as it reads the question, after the events before it. Wine, though,
    // reads its events again each time the program takes a message from its queue, and a
    // key's character only when the program takes the key's message: the question is asked
    // again, each time after the answer, until two in a row are answered at once, as a
    // program with no message left waiting answers.
    for (int quick = 0, round = 0; quick < 2 && round < 20; ++round) {
        const auto asking = Clock::now();
        if (!ask())
            break;
        quick = Clock::now() - asking < std::chrono::milliseconds(2) ? quick + 1 : 0;
    }
    XSelectInput(display, root(), NoEventMask);
    XSync(display, False);
    // What else came for the root meanwhile (its children's changes, others' messages) is
    // dropped.
    auto forRoot = [](Display*, XEvent* got, XPointer) -> Bool {
        return got->xany.window == root();
    };
    XEvent dropped;
    while (XCheckIfEvent(display, &dropped, forRoot, nullptr)) {
    }
}

namespace platform {

std::optional<std::int32_t> frontmostPid() {
    if (!display)
        return std::nullopt;
    // The answer holds until the next event is posted: nothing else can move the focus
    // in between.
    grabServer();
    const Window front = frontWindow();
    approvedFront = front == None ? std::nullopt : windowPid(front);
    return approvedFront;
}

bool runningApplication(std::int32_t pid, std::optional<std::string>& bundleId) {
    if (!display)
        return false;
    if (haveListing) {
        const auto it = listed.find(pid);
        if (it == listed.end())
            return false;
        bundleId = it->second;
        return true;
    }
    const Window w = applicationWindow(pid);
    if (w == None)
        return false;
    bundleId = windowClass(w);
    return true;
}

void activateApplication(std::int32_t pid) {
    if (!display)
        return;
    const Window w = applicationWindow(pid);
    if (w == None || frontWindow() == w)
        return;
    XSelectInput(display, root(), PropertyChangeMask);
    // A window manager that publishes no active window (weston's) does not act on the
    // request either: the window is raised and focused directly, as without one.
    const bool byManager = liveWindowManager() && activeWindow() != None;
    auto focusDirectly = [&] {
        XRaiseWindow(display, w);
        XSetInputFocus(display, w, RevertToParent, CurrentTime);
    };
    if (liveWindowManager()) {
        // A window on another desktop: show that desktop first, as a pager would.
        const auto desktop = longs(w, atom("_NET_WM_DESKTOP"), XA_CARDINAL);
        const auto current = longs(root(), atom("_NET_CURRENT_DESKTOP"), XA_CARDINAL);
        if (!desktop.empty() && !current.empty() && desktop[0] != 0xFFFFFFFF &&
            desktop[0] != current[0])
            sendMessage(root(), atom("_NET_CURRENT_DESKTOP"),
                        {static_cast<long>(desktop[0]), CurrentTime});
        // From a pager: the user asked for it.
        sendMessage(w, atom("_NET_ACTIVE_WINDOW"), {2, CurrentTime});
    }
    if (!byManager)
        focusDirectly();
    XFlush(display);
    // In front, and still a moment later (a client that loses the focus may take it
    // back). Some window managers announce None first. Without a manager to do it, the
    // focus is set again whenever it was taken away.
    int seen = 0;
    awaitFront(
        [&] {
            while (XPending(display)) {
                XEvent ignored;
                XNextEvent(display, &ignored);
            }
            if (frontWindow() == w) {
                ++seen;
            } else {
                if (seen > 0 && !byManager)
                    focusDirectly();
                seen = 0;
            }
            XSync(display, False);
            return seen >= 2;
        },
        [&](auto) { std::this_thread::sleep_for(std::chrono::milliseconds(seen ? 20 : 2)); });
    XSelectInput(display, root(), NoEventMask);
}

const json& windowList() {
    static json list;
    list = display ? json::array() : json();
    if (!display)
        return list;
    listed.clear();
    listedOnScreen.clear();
    haveListing = true;
    // Every atom the listing names, interned in one round trip (Xlib keeps them).
    static const char* names[] = {"WM_STATE",
                                  "_NET_WM_STATE",
                                  "_NET_WM_STATE_HIDDEN",
                                  "_NET_WM_WINDOW_TYPE",
                                  "_NET_WM_NAME",
                                  "UTF8_STRING",
                                  "_NET_WM_PID",
                                  "_NET_CLIENT_LIST",
                                  "_NET_SUPPORTING_WM_CHECK",
                                  "_NET_WM_WINDOW_TYPE_NORMAL",
                                  "_NET_WM_WINDOW_TYPE_DIALOG",
                                  "_NET_WM_WINDOW_TYPE_DESKTOP",
                                  "_NET_WM_WINDOW_TYPE_DOCK",
                                  "_NET_WM_WINDOW_TYPE_NOTIFICATION",
                                  "_NET_WM_WINDOW_TYPE_UTILITY",
                                  "_NET_WM_WINDOW_TYPE_TOOLBAR",
                                  "_NET_WM_WINDOW_TYPE_SPLASH",
                                  "_NET_WM_WINDOW_TYPE_MENU",
                                  "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
                                  "_NET_WM_WINDOW_TYPE_POPUP_MENU",
                                  "_NET_WM_WINDOW_TYPE_TOOLTIP",
                                  "_NET_WM_WINDOW_TYPE_COMBO",
                                  "_NET_WM_WINDOW_TYPE_DND"};
    Atom interned[std::size(names)];
    XInternAtoms(display, const_cast<char**>(names), static_cast<int>(std::size(names)), False,
                 interned);

    const std::vector<Window> clients = clientsFrontToBack();
    // Every question about every window goes out before the first answer is read.
    struct Asked {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_get_property_cookie_t pid, wmState, netState, types, wmClass, netName;
        xcb_translate_coordinates_cookie_t position;
    };
    xcb_connection_t* c = XGetXCBConnection(display);
    std::vector<Asked> asked;
    asked.reserve(clients.size());
    for (const Window w : clients) {
        const auto id = static_cast<xcb_window_t>(w);
        asked.push_back({
            xcb_get_window_attributes(c, id),
            xcb_get_geometry(c, id),
            askProperty(w, atom("_NET_WM_PID"), XA_CARDINAL, 1 << 16),
            askProperty(w, atom("WM_STATE"), atom("WM_STATE"), 1 << 16),
            askProperty(w, atom("_NET_WM_STATE"), XA_ATOM, 1 << 16),
            askProperty(w, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 1 << 16),
            askProperty(w, XA_WM_CLASS, XA_STRING, BUFSIZ),
            askProperty(w, atom("_NET_WM_NAME"), atom("UTF8_STRING"), 1 << 16),
            xcb_translate_coordinates(c, id, static_cast<xcb_window_t>(root()), 0, 0),
        });
    }
    const Atom hidden = atom("_NET_WM_STATE_HIDDEN");
    // The server answers every request on its own, so what most windows do not need is asked
    // for afterwards: WM_NAME, of the listed windows without a _NET_WM_NAME.
    std::vector<std::pair<std::size_t, Window>> unnamed; // place in the list, window
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const Window w = clients[i];
        const Asked& q = asked[i];
        const auto attributes = answer(xcb_get_window_attributes_reply, q.attributes);
        const auto geometry = answer(xcb_get_geometry_reply, q.geometry);
        const auto pidProperty = answer(xcb_get_property_reply, q.pid);
        const auto wmState = answer(xcb_get_property_reply, q.wmState);
        const auto netState = answer(xcb_get_property_reply, q.netState);
        const auto types = answer(xcb_get_property_reply, q.types);
        const auto wmClass = answer(xcb_get_property_reply, q.wmClass);
        const auto netName = answer(xcb_get_property_reply, q.netName);
        const auto position = answer(xcb_translate_coordinates_reply, q.position);

        const auto pidItems = longsIn(pidProperty.get());
        const auto pid =
            pidItems.empty() ? windowPid(w) : std::optional(static_cast<std::int32_t>(pidItems[0]));
        // On screen: viewable, not iconified, not hidden.
        bool visible = attributes && geometry && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        const auto state = longsIn(wmState.get());
        if (!state.empty() && state[0] == IconicState)
            visible = false;
        for (const unsigned long s : longsIn(netState.get())) {
            if (s == hidden)
                visible = false;
        }
        if (pid && (!listed.count(*pid) || (visible && !listedOnScreen[*pid]))) {
            listed[*pid] = classIn(wmClass.get());
            listedOnScreen[*pid] = visible;
        }
        if (!visible)
            continue;
        const auto level = layer(longsIn(types.get()));
        if (!level)
            continue;
        const int x = position ? position->dst_x : 0, y = position ? position->dst_y : 0;
        json entry = {
            {"kCGWindowNumber", w},
            {"kCGWindowLayer", *level},
            {"kCGWindowBounds",
             {{"X", double(x)},
              {"Y", double(y)},
              {"Width", double(geometry->width)},
              {"Height", double(geometry->height)}}},
        };
        if (pid)
            entry["kCGWindowOwnerPID"] = *pid;
        if (const auto name = textIn(netName.get()))
            entry["kCGWindowName"] = *name;
        else
            unnamed.emplace_back(list.size(), w);
        list.push_back(entry);
    }
    std::vector<xcb_get_property_cookie_t> wmNames;
    for (const auto& [place, w] : unnamed)
        wmNames.push_back(askProperty(w, XA_WM_NAME, AnyPropertyType, 1000000));
    for (std::size_t k = 0; k < unnamed.size(); ++k) {
        const auto& [place, w] = unnamed[k];
        const auto wmName = answer(xcb_get_property_reply, wmNames[k]);
        if (const auto name = titleIn(w, wmName.get()))
            list[place]["kCGWindowName"] = *name;
    }
    return list;
}

} // namespace platform
