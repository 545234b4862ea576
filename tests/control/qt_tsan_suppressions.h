// ThreadSanitizer builds: Qt's own threads (the D-Bus connection, the thread
// pool that loads fonts) hand their work to the main thread inside Qt, D-Bus
// and GLib, which are not instrumented, so their locking is not seen. The
// control program itself starts no thread.
#pragma once

namespace control_test {

inline constexpr char kQtThreadsTsanSuppressions[] =
    "race:libQt6\nrace:libdbus-1.so\nrace:libglib-2.0.so\n";

}  // namespace control_test
