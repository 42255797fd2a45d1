#include "MsgType.h"

std::ostream& operator<<(std::ostream& os, msgType type) {
    return os << static_cast<uint32_t>(type);
}
