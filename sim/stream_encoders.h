#pragma once
namespace pelionp::sim {}
