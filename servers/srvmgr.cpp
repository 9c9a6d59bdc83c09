#include "servers/srvmgr.h"
