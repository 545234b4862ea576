#include "common/datetime.h"
