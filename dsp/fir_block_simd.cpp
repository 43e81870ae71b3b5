// Per-target part of the block filter: rearranging the input line into polyphase rows and
// the lane-parallel dot products. This file is compiled once for every SIMD target
// (foreach_target re-includes it); the best one the processor supports is picked at run
// time.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "dsp/fir_block_simd.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep

#include <hwy/highway.h>

#include "dsp/fir_block_kernel.h"

HWY_BEFORE_NAMESPACE();
namespace fir_block_simd {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Row r of the polyphase layout holds line[r], line[r + D], line[r + 2D], ... widened to
// double, so the value that output m needs at tap j = a * D + r is row r, entry m + a:
// consecutive outputs read consecutive entries.
void spread_rows_plain(const FirBlockJob& job, size_t first_row, size_t row_count, size_t first_entry) {
  const size_t d = static_cast<size_t>(job.decimation);
  const size_t length = static_cast<size_t>(job.row_length);
  for (size_t r = first_row; r < first_row + row_count; ++r) {
    double* row_i = job.poly_i + r * length;
    double* row_q = job.poly_q + r * length;
    for (size_t u = first_entry; u < length; ++u) {
      row_i[u] = static_cast<double>(job.line_i[u * d + r]);
      row_q[u] = static_cast<double>(job.line_q[u * d + r]);
    }
  }
}

#if HWY_TARGET == HWY_SCALAR || HWY_HAVE_SCALABLE
void spread_rows(const FirBlockJob& job) {
  spread_rows_plain(job, 0, static_cast<size_t>(job.rows), 0);
}
#else
// Four consecutive floats, widened, to four consecutive doubles.
HWY_INLINE void store_widened(hn::Vec128<float> v, double* to) {
#if HWY_MAX_BYTES >= 32
  const hn::FixedTag<double, 4> d4;
  hn::StoreU(hn::PromoteTo(d4, v), d4, to);
#else
  const hn::Full128<double> d2;
  const hn::Full64<float> f2;
  hn::StoreU(hn::PromoteTo(d2, hn::LowerHalf(f2, v)), d2, to);
  hn::StoreU(hn::PromoteTo(d2, hn::UpperHalf(f2, v)), d2, to + 2);
#endif
}

// Moves a 4 x 4 tile: entries u .. u + 3 of rows r .. r + 3 come from four line
// segments of four floats, one per entry; a transpose turns segments into rows.
HWY_INLINE void spread_tile(const float* line, size_t d, double* rows, size_t length) {
  const hn::Full128<float> f4;
  const auto s0 = hn::LoadU(f4, line);
  const auto s1 = hn::LoadU(f4, line + d);
  const auto s2 = hn::LoadU(f4, line + 2 * d);
  const auto s3 = hn::LoadU(f4, line + 3 * d);
  const auto lo01 = hn::InterleaveLower(f4, s0, s1);  // s0[0] s1[0] s0[1] s1[1]
  const auto lo23 = hn::InterleaveLower(f4, s2, s3);
  const auto hi01 = hn::InterleaveUpper(f4, s0, s1);  // s0[2] s1[2] s0[3] s1[3]
  const auto hi23 = hn::InterleaveUpper(f4, s2, s3);
  store_widened(hn::ConcatLowerLower(f4, lo23, lo01), rows);
  store_widened(hn::ConcatUpperUpper(f4, lo23, lo01), rows + length);
  store_widened(hn::ConcatLowerLower(f4, hi23, hi01), rows + 2 * length);
  store_widened(hn::ConcatUpperUpper(f4, hi23, hi01), rows + 3 * length);
}

void spread_rows(const FirBlockJob& job) {
  const size_t rows = static_cast<size_t>(job.rows);
  if (rows < 4) {
    spread_rows_plain(job, 0, rows, 0);
    return;
  }
  const size_t d = static_cast<size_t>(job.decimation);
  const size_t length = static_cast<size_t>(job.row_length);
  const size_t whole = length / 4 * 4;
  // Groups of four rows; the last group overlaps the one before when rows is not a
  // multiple of four (those rows are simply written twice with the same values).
  for (size_t r = 0;; r += 4) {
    if (r + 4 > rows) r = rows - 4;
    for (size_t u = 0; u < whole; u += 4) {
      spread_tile(job.line_i + u * d + r, d, job.poly_i + r * length + u, length);
      spread_tile(job.line_q + u * d + r, d, job.poly_q + r * length + u, length);
    }
    if (whole < length) spread_rows_plain(job, r, 4, whole);
    if (r + 4 == rows) break;
  }
}
#endif

// Walks the taps in ascending order for a run of outputs starting at `first`: calls
// step(ci, cq, row_i, row_q) with the widened coefficients of tap j and the rows' entry
// for output `first` at that tap.
template <class Step>
HWY_INLINE void walk_taps(const FirBlockJob& job, size_t first, Step step) {
  const hn::ScalableTag<double> dd;
  const size_t length = static_cast<size_t>(job.row_length);
  const int32_t d = job.decimation;
  // Tap j = a * d + r reads row r at entry first + a.
  const double* row_start_i = job.poly_i + first;
  const double* row_start_q = job.poly_q + first;
  const double* at_i = row_start_i;
  const double* at_q = row_start_q;
  int32_t r = 0;
  for (int32_t j = 0; j < job.taps; ++j) {
    step(hn::Set(dd, job.coef_i[j]), hn::Set(dd, job.coef_q[j]), at_i, at_q);
    if (++r == d) {
      r = 0;
      row_start_i += 1;
      row_start_q += 1;
      at_i = row_start_i;
      at_q = row_start_q;
    } else {
      at_i += length;
      at_q += length;
    }
  }
}

// Each lane sums its products in ascending tap order from 0.0, exactly like
// dot_product. A float times a float is exact in double, so a fused multiply-add rounds
// the same way as the separate multiply and add. Four vectors per branch keep eight
// independent sums in flight, enough to hide the latency of the multiply-add.
HWY_INLINE void dot_run4(const FirBlockJob& job, size_t first) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  const size_t n = hn::Lanes(dd);
  auto i0 = hn::Zero(dd), i1 = hn::Zero(dd), i2 = hn::Zero(dd), i3 = hn::Zero(dd);
  auto q0 = hn::Zero(dd), q1 = hn::Zero(dd), q2 = hn::Zero(dd), q3 = hn::Zero(dd);
  walk_taps(job, first, [&](auto ci, auto cq, const double* at_i, const double* at_q) {
    i0 = hn::MulAdd(ci, hn::LoadU(dd, at_i), i0);
    i1 = hn::MulAdd(ci, hn::LoadU(dd, at_i + n), i1);
    i2 = hn::MulAdd(ci, hn::LoadU(dd, at_i + 2 * n), i2);
    i3 = hn::MulAdd(ci, hn::LoadU(dd, at_i + 3 * n), i3);
    q0 = hn::MulAdd(cq, hn::LoadU(dd, at_q), q0);
    q1 = hn::MulAdd(cq, hn::LoadU(dd, at_q + n), q1);
    q2 = hn::MulAdd(cq, hn::LoadU(dd, at_q + 2 * n), q2);
    q3 = hn::MulAdd(cq, hn::LoadU(dd, at_q + 3 * n), q3);
  });
  float* out_i = job.staged_i + first;
  float* out_q = job.staged_q + first;
  hn::StoreU(hn::DemoteTo(df, i0), df, out_i);
  hn::StoreU(hn::DemoteTo(df, i1), df, out_i + n);
  hn::StoreU(hn::DemoteTo(df, i2), df, out_i + 2 * n);
  hn::StoreU(hn::DemoteTo(df, i3), df, out_i + 3 * n);
  hn::StoreU(hn::DemoteTo(df, q0), df, out_q);
  hn::StoreU(hn::DemoteTo(df, q1), df, out_q + n);
  hn::StoreU(hn::DemoteTo(df, q2), df, out_q + 2 * n);
  hn::StoreU(hn::DemoteTo(df, q3), df, out_q + 3 * n);
}

HWY_INLINE void dot_run1(const FirBlockJob& job, size_t first) {
  const hn::ScalableTag<double> dd;
  const hn::Rebind<float, decltype(dd)> df;
  auto i0 = hn::Zero(dd);
  auto q0 = hn::Zero(dd);
  walk_taps(job, first, [&](auto ci, auto cq, const double* at_i, const double* at_q) {
    i0 = hn::MulAdd(ci, hn::LoadU(dd, at_i), i0);
    q0 = hn::MulAdd(cq, hn::LoadU(dd, at_q), q0);
  });
  hn::StoreU(hn::DemoteTo(df, i0), df, job.staged_i + first);
  hn::StoreU(hn::DemoteTo(df, q0), df, job.staged_q + first);
}

void Kernel(const FirBlockJob& job) {
  spread_rows(job);
  const hn::ScalableTag<double> dd;
  const size_t n = hn::Lanes(dd);
  // Four vectors at a time, the remainder one vector at a time.
  const size_t total = static_cast<size_t>(job.outputs_padded);
  size_t first = 0;
  for (; first + 4 * n <= total; first += 4 * n) dot_run4(job, first);
  for (; first < total; first += n) dot_run1(job, first);
}

void Deinterleave(const float* iq, size_t count, float* out_i, float* out_q) {
  const hn::ScalableTag<float> df;
  const size_t n = hn::Lanes(df);
  size_t k = 0;
  for (; k + n <= count; k += n) {
    hn::Vec<decltype(df)> i_part, q_part;
    hn::LoadInterleaved2(df, iq + 2 * k, i_part, q_part);
    hn::StoreU(i_part, df, out_i + k);
    hn::StoreU(q_part, df, out_q + k);
  }
  for (; k < count; ++k) {
    out_i[k] = iq[2 * k];
    out_q[k] = iq[2 * k + 1];
  }
}

// out[k] = float(bytes[k] - 127) * scale, lane by lane: the same single rounding as the
// scalar expression.
void ConvertBytes(const uint8_t* bytes, size_t count, float scale, float* out) {
  const hn::ScalableTag<float> df;
  const hn::RebindToSigned<decltype(df)> di;
  const hn::Rebind<uint8_t, decltype(df)> d8;
  const size_t n = hn::Lanes(df);
  const auto zero_point = hn::Set(di, 127);
  const auto factor = hn::Set(df, scale);
  size_t k = 0;
  for (; k + n <= count; k += n) {
    const auto wide = hn::BitCast(di, hn::PromoteTo(hn::RebindToUnsigned<decltype(df)>(), hn::LoadU(d8, bytes + k)));
    hn::StoreU(hn::Mul(hn::ConvertTo(df, hn::Sub(wide, zero_point)), factor), df, out + k);
  }
  for (; k < count; ++k) out[k] = static_cast<float>(static_cast<int>(bytes[k]) - 127) * scale;
}

size_t Lanes() { return hn::Lanes(hn::ScalableTag<double>()); }

int64_t Target() { return HWY_TARGET; }

}  // namespace HWY_NAMESPACE
}  // namespace fir_block_simd
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace fir_block_simd {
HWY_EXPORT(Kernel);
HWY_EXPORT(Lanes);
HWY_EXPORT(Deinterleave);
HWY_EXPORT(ConvertBytes);
HWY_EXPORT(Target);

void run_kernel(const FirBlockJob& job) { HWY_DYNAMIC_DISPATCH(Kernel)(job); }
void deinterleave(const float* iq, size_t count, float* out_i, float* out_q) {
  HWY_DYNAMIC_DISPATCH(Deinterleave)(iq, count, out_i, out_q);
}
void convert_bytes(const uint8_t* bytes, size_t count, float scale, float* out) {
  HWY_DYNAMIC_DISPATCH(ConvertBytes)(bytes, count, scale, out);
}
size_t lanes() { return HWY_DYNAMIC_DISPATCH(Lanes)(); }
int64_t target() { return HWY_DYNAMIC_DISPATCH(Target)(); }
}  // namespace fir_block_simd
#endif
