#include "imagestore/catalog.h"
