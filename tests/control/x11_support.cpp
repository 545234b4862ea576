#include "x11_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "tests/support/child_runner.h"

namespace control_test {

namespace {

// XCB replies are malloc'ed.
template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> Take(T* reply) {
  return Reply<T>(reply, &std::free);
}

}  // namespace

TestXServer::TestXServer() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    ::dup2(fds[1], 3);  // -displayfd names the display once the server listens
    const int devnull = ::open("/dev/null", O_WRONLY);
    ::dup2(devnull, 1);
    ::dup2(devnull, 2);
    ::execlp("Xvfb", "Xvfb", "-displayfd", "3", "-screen", "0", "1280x1024x24", "-nolisten", "tcp",
             nullptr);
    ::_exit(127);
  }
  ::close(fds[1]);
  char buffer[32] = {};
  size_t got = 0;
  for (ssize_t n; got < sizeof buffer - 1 && (n = ::read(fds[0], buffer + got, 1)) > 0;) {
    if (buffer[got] == '\n') break;
    ++got;
  }
  ::close(fds[0]);
  buffer[got] = '\0';
  if (got == 0) return;
  display_ = std::string(":") + buffer;
  ::setenv("DISPLAY", display_.c_str(), 1);
}

TestXServer::~TestXServer() {
  if (pid_ > 0) {
    // Killed if it has not ended by then: a hung server must not hang the test.
    ::kill(pid_, SIGTERM);
    testing_support::AwaitExit(pid_, std::chrono::steady_clock::now() + std::chrono::seconds(30));
  }
}

XConnection::XConnection() {
  int screen = 0;
  xcb_connection_t* c = xcb_connect(nullptr, &screen);
  if (xcb_connection_has_error(c)) {
    xcb_disconnect(c);
    return;
  }
  connection_ = c;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (int i = 0; i < screen; ++i) xcb_screen_next(&it);
  root_ = it.data->root;
}

XConnection::~XConnection() {
  if (connection_) xcb_disconnect(connection_);
}

xcb_atom_t XConnection::Atom(const char* name) {
  auto reply = Take(xcb_intern_atom_reply(
      connection_, xcb_intern_atom(connection_, 0, std::strlen(name), name), nullptr));
  return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string XConnection::Utf8Property(xcb_window_t window, const char* name) {
  auto reply = Take(xcb_get_property_reply(
      connection_,
      xcb_get_property(connection_, 0, window, Atom(name), Atom("UTF8_STRING"), 0, 4096), nullptr));
  if (!reply || reply->format != 8) return "";
  return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     xcb_get_property_value_length(reply.get()));
}

uint32_t XConnection::Cardinal(xcb_window_t window, xcb_atom_t property) {
  auto reply = Take(xcb_get_property_reply(
      connection_, xcb_get_property(connection_, 0, window, property, XCB_ATOM_CARDINAL, 0, 1),
      nullptr));
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) != 4) return 0;
  return *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
}

SizeLimits XConnection::NormalHints(xcb_window_t window) {
  // flags, x, y, width, height, min width and height, max width and height,
  // and nine more fields, each a CARD32.
  constexpr uint32_t kMinSize = 1u << 4, kMaxSize = 1u << 5;
  auto reply =
      Take(xcb_get_property_reply(connection_,
                                  xcb_get_property(connection_, 0, window, XCB_ATOM_WM_NORMAL_HINTS,
                                                   XCB_ATOM_WM_SIZE_HINTS, 0, 18),
                                  nullptr));
  SizeLimits limits;
  if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 9 * 4) {
    return limits;
  }
  const auto* field = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
  if (field[0] & kMinSize) {
    limits.minWidth = field[5];
    limits.minHeight = field[6];
  }
  if (field[0] & kMaxSize) {
    limits.maxWidth = field[7];
    limits.maxHeight = field[8];
  }
  return limits;
}

bool XConnection::Viewable(xcb_window_t window) {
  auto attributes = Take(xcb_get_window_attributes_reply(
      connection_, xcb_get_window_attributes(connection_, window), nullptr));
  return attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
}

std::vector<xcb_window_t> XConnection::MappedWindowsOf(pid_t pid) {
  std::vector<xcb_window_t> found;
  auto tree = Take(xcb_query_tree_reply(connection_, xcb_query_tree(connection_, root_), nullptr));
  if (!tree) return found;
  const xcb_atom_t pidAtom = Atom("_NET_WM_PID");
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  for (int i = 0; i < xcb_query_tree_children_length(tree.get()); ++i) {
    if (Viewable(children[i]) && Cardinal(children[i], pidAtom) == static_cast<uint32_t>(pid)) {
      found.push_back(children[i]);
    }
  }
  return found;
}

void XConnection::RequestClose(xcb_window_t window) {
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = Atom("WM_PROTOCOLS");
  event.data.data32[0] = Atom("WM_DELETE_WINDOW");
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(connection_, 0, window, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&event));
  xcb_flush(connection_);
}

}  // namespace control_test
