#include "servers/srv_messages.h"
