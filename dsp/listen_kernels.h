// The listening channel's inner loops: dot products in four lanes (the compiler's vector
// extension, which becomes SSE on x86-64 and NEON on ARM) and a polynomial arc tangent.
// Unlike the baseband's filter, nothing here is defined to the bit, so float sums in
// lane order are fine.
#pragma once

#include <cmath>
#include <cstdint>
#include <cstring>

namespace listen_kernels {

typedef float lanes4 __attribute__((vector_size(16)));

inline lanes4 load4(const float* p) {
  lanes4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline float sum4(lanes4 v) { return (v[0] + v[1]) + (v[2] + v[3]); }

// Sum over k < taps of line[k] * coef[k].
inline float real_dot(const float* line, const float* coef, int32_t taps) {
  lanes4 a = {0, 0, 0, 0}, b = {0, 0, 0, 0};
  int32_t k = 0;
  for (; k + 8 <= taps; k += 8) {
    a += load4(line + k) * load4(coef + k);
    b += load4(line + k + 4) * load4(coef + k + 4);
  }
  float sum = sum4(a + b);
  for (; k < taps; ++k) sum += line[k] * coef[k];
  return sum;
}

// Sum over k < taps of z[k] * g[k] for interleaved complex z; ga holds each tap's real
// part twice, gb its imaginary part twice. out gets the real and imaginary parts.
inline void complex_dot(const float* z, const float* ga, const float* gb, int32_t taps, float* out) {
  lanes4 a = {0, 0, 0, 0}, b = {0, 0, 0, 0};  // lanes: (re·gr, im·gr), (re·gi, im·gi)
  const int32_t floats = 2 * taps;
  int32_t k = 0;
  for (; k + 4 <= floats; k += 4) {
    const lanes4 v = load4(z + k);
    a += v * load4(ga + k);
    b += v * load4(gb + k);
  }
  float ar = a[0] + a[2], ai = a[1] + a[3], br = b[0] + b[2], bi = b[1] + b[3];
  for (; k < floats; k += 2) {
    ar += z[k] * ga[k];
    ai += z[k + 1] * ga[k];
    br += z[k] * gb[k];
    bi += z[k + 1] * gb[k];
  }
  out[0] = ar - bi;
  out[1] = ai + br;
}

// The same with real taps (ga only).
inline void real_taps_dot(const float* z, const float* ga, int32_t taps, float* out) {
  lanes4 a = {0, 0, 0, 0}, b = {0, 0, 0, 0};
  const int32_t floats = 2 * taps;
  int32_t k = 0;
  for (; k + 8 <= floats; k += 8) {
    a += load4(z + k) * load4(ga + k);
    b += load4(z + k + 4) * load4(ga + k + 4);
  }
  a += b;
  float re = a[0] + a[2], im = a[1] + a[3];
  for (; k < floats; k += 2) {
    re += z[k] * ga[k];
    im += z[k + 1] * ga[k];
  }
  out[0] = re;
  out[1] = im;
}

// atan2(y, x) to within about 1e-5 radians: a ninth-degree odd polynomial for the arc
// tangent of the smaller over the larger magnitude, then the octant. 0 for (0, 0).
inline float atan2_approx(float y, float x) {
  constexpr float half_pi = 1.57079632679f;
  constexpr float pi = 3.14159265359f;
  const float ax = std::fabs(x), ay = std::fabs(y);
  const float big = ax > ay ? ax : ay;
  const float small = ax > ay ? ay : ax;
  const float t = big > 0.0f ? small / big : 0.0f;
  const float t2 = t * t;
  float r = t * (0.9998660f + t2 * (-0.3302995f + t2 * (0.1801410f + t2 * (-0.0851330f + t2 * 0.0208351f))));
  if (ay > ax) r = half_pi - r;
  if (x < 0.0f) r = pi - r;
  return y < 0.0f ? -r : r;
}

typedef int32_t mask4 __attribute__((vector_size(16)));

// The same arc tangent on four lanes at once, without branches.
inline lanes4 atan2_approx4(lanes4 y, lanes4 x) {
  const lanes4 zero = {0, 0, 0, 0};
  const lanes4 half_pi = zero + 1.57079632679f;
  const lanes4 pi = zero + 3.14159265359f;
  const lanes4 ax = x < zero ? -x : x;
  const lanes4 ay = y < zero ? -y : y;
  const mask4 steep = ay > ax;
  const lanes4 big = steep ? ay : ax;
  const lanes4 small = steep ? ax : ay;
  const lanes4 t = big > zero ? small / (big > zero ? big : zero + 1.0f) : zero;
  const lanes4 t2 = t * t;
  lanes4 r = t * (0.9998660f + t2 * (-0.3302995f + t2 * (0.1801410f + t2 * (-0.0851330f + t2 * 0.0208351f))));
  r = steep ? half_pi - r : r;
  r = x < zero ? pi - r : r;
  return y < zero ? -r : r;
}

// Phase steps between successive samples of interleaved z (count of them), each turned
// back by the step (sr, si), scaled: out[k] = scale * arg(z[k] conj(z[k-1]) conj(s)),
// with z[-1] = (pr, pi). The four-lane loop runs where four whole steps fit.
inline void phase_steps(const float* z, int32_t count, float pr, float pi, float sr, float si, float scale,
                        float* out) {
  int32_t k = 0;
  if (count >= 5) {
    float xs[4], ys[4];
    // The first sample pairs with the one before the run; do it alone.
    auto one = [&](int32_t n, float ar, float ai) {
      const float r = z[2 * n], i = z[2 * n + 1];
      const float dr = r * ar + i * ai;
      const float di = i * ar - r * ai;
      out[n] = scale * atan2_approx(di * sr - dr * si, dr * sr + di * si);
    };
    one(0, pr, pi);
    for (k = 1; k + 4 <= count; k += 4) {
      for (int l = 0; l < 4; ++l) {
        const float r = z[2 * (k + l)], i = z[2 * (k + l) + 1];
        const float ar = z[2 * (k + l) - 2], ai = z[2 * (k + l) - 1];
        const float dr = r * ar + i * ai;
        const float di = i * ar - r * ai;
        xs[l] = dr * sr + di * si;
        ys[l] = di * sr - dr * si;
      }
      const lanes4 a = atan2_approx4(load4(ys), load4(xs)) * scale;
      std::memcpy(out + k, &a, sizeof a);
    }
    for (; k < count; ++k) one(k, z[2 * k - 2], z[2 * k - 1]);
    return;
  }
  for (; k < count; ++k) {
    const float ar = k == 0 ? pr : z[2 * k - 2], ai = k == 0 ? pi : z[2 * k - 1];
    const float r = z[2 * k], i = z[2 * k + 1];
    const float dr = r * ar + i * ai;
    const float di = i * ar - r * ai;
    out[k] = scale * atan2_approx(di * sr - dr * si, dr * sr + di * si);
  }
}

}  // namespace listen_kernels
