// Windows starts the watch from Task Scheduler, which asks for no report.
#include "platform/service_manager.h"

namespace tevgen {

bool TellServiceManager(std::string_view) { return false; }

bool UnderServiceManager() { return false; }

}  // namespace tevgen
