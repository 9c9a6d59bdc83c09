#include "imagestore/picture_header.h"
