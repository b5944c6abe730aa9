#include "DicomFixtures.h"
