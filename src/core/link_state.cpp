#include "core/link_state.h"

namespace kelvaro {

LinkState g_link;

}  // namespace kelvaro
