#include "platform/ui/AUViewController.h"

namespace platform {

AUViewController::~AUViewController() = default;

} // namespace platform
