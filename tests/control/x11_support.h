// An X server of the test's own (Xvfb) and what a window manager reads of
// the windows on it, through XCB: the title in _NET_WM_NAME, the owning
// process in _NET_WM_PID, the size limits in WM_NORMAL_HINTS, and the close
// request WM_DELETE_WINDOW.
#pragma once

#include <sys/types.h>
#include <xcb/xcb.h>

#include <cstdint>
#include <string>
#include <vector>

namespace control_test {

// Starts Xvfb on a free display (1280 x 1024) and points DISPLAY at it;
// ends it with the object. Running() false when it could not start.
class TestXServer {
 public:
  TestXServer();
  ~TestXServer();
  TestXServer(const TestXServer&) = delete;
  TestXServer& operator=(const TestXServer&) = delete;
  bool Running() const { return pid_ > 0 && !display_.empty(); }
  const std::string& Display() const { return display_; }

 private:
  pid_t pid_ = -1;
  std::string display_;
};

// The size limits of WM_NORMAL_HINTS (ICCCM 4.1.2.3); 0 x 0 for a limit the
// hints do not give.
struct SizeLimits {
  uint32_t minWidth = 0, minHeight = 0;
  uint32_t maxWidth = 0, maxHeight = 0;
};

class XConnection {
 public:
  // Connects to $DISPLAY; Connected() false when it cannot.
  XConnection();
  ~XConnection();
  XConnection(const XConnection&) = delete;
  XConnection& operator=(const XConnection&) = delete;
  bool Connected() const { return connection_ != nullptr; }

  // The UTF-8 text of the property `name` of `window`; empty when it has none.
  std::string Utf8Property(xcb_window_t window, const char* name);
  // WM_NORMAL_HINTS of `window`; none when it has no such property.
  SizeLimits NormalHints(xcb_window_t window);
  // True when `window` is mapped and all its ancestors are.
  bool Viewable(xcb_window_t window);
  // The top-level windows (children of the root) whose _NET_WM_PID is `pid`
  // and that are mapped.
  std::vector<xcb_window_t> MappedWindowsOf(pid_t pid);
  // Asks the window to close, as a window manager's close button does.
  void RequestClose(xcb_window_t window);

 private:
  xcb_atom_t Atom(const char* name);
  uint32_t Cardinal(xcb_window_t window, xcb_atom_t property);

  xcb_connection_t* connection_ = nullptr;
  xcb_window_t root_ = 0;
};

}  // namespace control_test
