#include "servers/srvinfo.h"
