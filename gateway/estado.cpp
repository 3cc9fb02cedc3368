// The gateway's state (estado.h).
#include "gateway/estado.h"

namespace zandor {

TEstado estado;

}  // namespace zandor
