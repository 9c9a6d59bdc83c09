#include "imagestore/image_index.h"
