// Windowed-sinc design of one real FIR filter: the ideal band-pass response between two
// edges (cycles per sample), sampled at the tap positions and shaped by a Hamming window,
// or its quadrature (90-degree) counterpart.
#pragma once

#include <cstdint>

// Writes `taps` coefficients to out and returns out. quadrature 0 gives the in-phase
// shape, anything else the quadrature shape. taps <= 0 writes nothing; taps 1 is not
// meaningful. Pure: touches nothing but out.
float* design_bandpass(float* out, int32_t taps, int32_t quadrature, float low_edge, float high_edge);
