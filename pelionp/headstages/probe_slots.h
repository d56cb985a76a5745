#pragma once
// Private to the headstages' .cpp files: the probe slots destroy probes, so
// the special members of a headstage need the probe types complete.
//
// NB: until the probe models are on this branch, stand-ins that cannot be
// constructed keep the slots compiling; a slot can then never be filled.
#if __has_include("pelionp/probes/np1/probe.h")
#include "pelionp/probes/np1/probe.h"
#else
namespace pelionp::NP1 {
class Probe {
public:
    Probe() = delete;
};
}  // namespace pelionp::NP1
#endif

#if __has_include("pelionp/probes/np2/probe_variants.h")
#include "pelionp/probes/np2/probe_variants.h"
#else
namespace pelionp::NP2 {
class NP2003NP2004 {
public:
    NP2003NP2004() = delete;
};
class NP2013NP2014 {
public:
    NP2013NP2014() = delete;
};
}  // namespace pelionp::NP2
#endif
