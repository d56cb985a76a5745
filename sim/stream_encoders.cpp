#include "sim/stream_encoders.h"
