// Builds the real window against the service of this machine, lets it poll
// once, and saves a picture of each page:
//   control_screenshot FOLDER   writes FOLDER/vigilo_cfg_activity.png and
//                               FOLDER/vigilo_cfg_statistics.png
// Boxes are printed instead of shown, so that nothing waits for a click.
#include <QApplication>
#include <QTabWidget>
#include <cstdio>
#include <string>

#include "common/datetime.h"
#include "control/alrsvc_control.h"
#include "control_fakes.h"
#include "platform/file.h"

// LeakSanitizer builds: the D-Bus library that Qt's X11 platform loads keeps
// a buffer of its own to the end; it is not ours to free.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libdbus-1.so\n";
}

// ThreadSanitizer builds: Qt's own threads (D-Bus connection, thread pool)
// hand their work to the main thread inside Qt's libraries, which are not
// instrumented, so their locking is not seen. This program starts no thread.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libQt6\nrace:libdbus-1.so\n";
}

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) return 2;
  const std::string folder = argv[1];
  TControlSystem system{platform::SystemServiceManager(), SystemPipeClient(), Now, SystemSleep,
                        LocaleThousandSeparator()};
  control_test::PrintingBoxes boxes;
  TSvcControlWnd window(system, folder + "/", {}, &boxes);
  window.show();
  window.TmrMainTimer();
  auto* pages = window.findChild<QTabWidget*>("PgcMain");
  const std::pair<int, const char*> shots[] = {{0, "activity"}, {1, "statistics"}};
  for (const auto& [page, name] : shots) {
    pages->setCurrentIndex(page);
    QApplication::processEvents();
    const std::string path = folder + "/vigilo_cfg_" + name + ".png";
    if (!window.grab().save(QString::fromStdString(path))) {
      std::fprintf(stderr, "cannot save %s\n", path.c_str());
      return 1;
    }
    std::printf("saved %s\n", path.c_str());
  }
  return 0;
}
