#include "util/settings.h"

namespace quillmap {

Settings settings;

}  // namespace quillmap
