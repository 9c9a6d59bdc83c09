#include "servers/srvcodec.h"
