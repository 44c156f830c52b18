// Opening and closing a device.
#include "VyHID.h"

void TVyHID::setFActive(bool /*Value*/) {
  if (!FisDLLloaded) return;
}

void TVyHID::CloseHidDevice() {
  if (!FisDLLloaded) return;
}
