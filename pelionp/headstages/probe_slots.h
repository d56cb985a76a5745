#pragma once
// Private to the headstages' .cpp files: the probe slots destroy probes, so
// the special members of a headstage need the probe types complete.
#include "pelionp/probes/np1/probe.h"
#include "pelionp/probes/np2/probe_variants.h"
