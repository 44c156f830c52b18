// The entry points of HID_Bridge__.dll over hidraw. The bridge object is
// made when the library is loaded and stopped and freed when it is unloaded,
// so that no thread of it runs, and no callback comes, after the unload.
#include "Bridge.h"
#include "ExportShim.h"

namespace {

vyhid::hidraw::Bridge* bridge = nullptr;

__attribute__((constructor)) void LoadBridge() {
  bridge = new vyhid::hidraw::Bridge;
}

__attribute__((destructor)) void Unload() {
  vyhid::hidraw::UnloadBridge(bridge);
}

}  // namespace

VYHID_DEFINE_BRIDGE_EXPORTS(*bridge)
