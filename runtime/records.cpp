#include "records.h"

namespace varnok {

const char kVersionText[] = "2.0.0.135";

}  // namespace varnok
