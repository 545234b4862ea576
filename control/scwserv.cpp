#include "control/scwserv.h"

bool BrowseForComputer(QWidget*, const std::string&, std::string&) {
  return false;
}
