// In-place forward radix-2 FFT (decimation in frequency, then bit reversal to natural
// order) of 2^m complex points held in two float arrays. No scaling, no table, no
// allocation; twiddles come from a rotation recurrence within each stage.
#pragma once

#include <cstdint>

// m from 0 to 30; m = 0 leaves the arrays unchanged.
void fft_radix2(float* re, float* im, int32_t m);
