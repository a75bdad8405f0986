// Views of volumes on Windows: none. Volume devices are read unbuffered, past the system's cache,
// and an image file's reads are few and large; the scan reads through platform/volume_device.h.
#include "platform/volume_view.h"

#include "platform/system_error.h"

namespace ostrin::platform {

struct CVolumeView::Guard {};

std::shared_ptr<CVolumeView> CVolumeView::Map(const CVolumeDevice& /*device*/) { return nullptr; }

CVolumeView::~CVolumeView() = default;

bool CVolumeView::Fetch(uint64_t /*offset*/, size_t /*length*/) const { return false; }

void CVolumeView::Drop(uint64_t /*offset*/, size_t /*length*/) const {}

uint64_t CVolumeView::Faults() const { return 0; }

}  // namespace ostrin::platform
