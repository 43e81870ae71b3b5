#include "sample_ring/sample_ring.h"
#include "tests/support/ring_reading.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "dsp/dsp_thread.h"

namespace {

// A DSP thread run in the test's own thread, with the idle sleep replaced by a hook.
// The probe filter makes one output per slot, equal to the slot's second-to-last
// sample, so out_i lists the slots consumed, in order.
struct RingRig {
  RingRig() {
    fir_reset(*filter, 2, ring_slot_pairs);
    filter->coef_i[0] = filter->coef_q[0] = 0.0f;
    filter->coef_i[1] = filter->coef_q[1] = 1.0f;
  }
  static void idle_hook(void* context) {
    RingRig& rig = *static_cast<RingRig*>(context);
    ++rig.idles;
    if (rig.on_idle) rig.on_idle();
  }
  DspLinks links(BlockSink sink = {}) {
    return DspLinks{state, *ring, *filter, *dsp, *spectrum, sink, idle_hook, this};
  }
  void store(uint8_t value) {
    const std::vector<uint8_t> block(ring_slot_bytes, value);
    ring_store(*ring, block.data());
  }
  float value_of(uint8_t byte) const { return dsp->sample_table[byte]; }
  void stop() { state.running.store(0); }
  // The thread's links when it waits for the tuner's wake-ups; the wait's limit is far
  // beyond any test, so only the wake-ups move the reader.
  DspLinks woken_links(WakeEvent& stored) {
    DspLinks l = links();
    l.idle = nullptr;
    l.ring_stored = &stored;
    l.store_wait_ms = 3600 * 1000;
    return l;
  }
  // Wakes a reader asleep on `stored` and waits until it has taken store n.
  void wake_and_await(WakeEvent& stored, uint64_t n) {
    wake_event_set(stored);
    while (dsp->next_store.load() != n) std::this_thread::yield();
  }
  static void await_sleep(const WakeEvent& stored) {
    while (stored.state.load() != 2) std::this_thread::yield();
  }
  // Stops a reader asleep on `stored`.
  void stop_sleeping(WakeEvent& stored, std::thread& reader) {
    await_sleep(stored);
    stop();
    wake_event_set(stored);
    reader.join();
  }

  RxState state{rxiq12_variant};
  std::unique_ptr<SampleRing> ring = std::make_unique<SampleRing>();
  std::unique_ptr<FirFilter> filter = std::make_unique<FirFilter>();
  std::unique_ptr<DspState> dsp = std::make_unique<DspState>();
  std::unique_ptr<SpectrumBuffer> spectrum = std::make_unique<SpectrumBuffer>();
  std::function<void()> on_idle;
  int idles = 0;
};

TEST(SampleRing, EmptyRingAndStopFlags) {
  RingRig early;
  early.state.stream_stop.store(1);
  EXPECT_EQ(dsp_thread(early.links()), 0);
  EXPECT_EQ(early.idles, 0);
  EXPECT_EQ(early.state.stream_stop.load(), 10);

  RingRig rig;
  rig.on_idle = [&] {
    if (rig.idles == 3) rig.state.stream_stop.store(1);
  };
  dsp_thread(rig.links());
  EXPECT_EQ(rig.idles, 3);
  EXPECT_EQ(rig.ring->ring_read.load(), 0);
  EXPECT_EQ(rig.dsp->out_count, 0);
  EXPECT_EQ(rig.state.stream_stop.load(), 10);
}

TEST(SampleRing, WrapsAndDrainsWithoutSleeping) {
  RingRig rig;
  rig.ring->ring_write.store(98);
  rig.ring->ring_read.store(98);
  for (uint8_t v : {10, 11, 12, 13}) rig.store(v);
  EXPECT_EQ(rig.ring->ring_write.load(), 2);
  EXPECT_EQ(rig.ring->ring_bytes[99].load(), ring_slot_bytes);
  rig.on_idle = [&] { rig.stop(); };
  dsp_thread(rig.links());
  ASSERT_EQ(rig.dsp->out_count, 4);  // slots 98, 99, 0, 1 in that order
  for (int k = 0; k < 4; ++k) EXPECT_EQ(rig.dsp->out_i[k], rig.value_of(static_cast<uint8_t>(10 + k)));
  EXPECT_EQ(rig.ring->ring_read.load(), 2);
  EXPECT_EQ(rig.idles, 1);

  RingRig full;
  for (int k = 0; k < 99; ++k) full.store(static_cast<uint8_t>(k));
  int seen_at_first_idle = -1;
  full.on_idle = [&] {
    seen_at_first_idle = full.dsp->out_count;
    full.stop();
  };
  dsp_thread(full.links());
  EXPECT_EQ(seen_at_first_idle, 99);
  for (int k = 0; k < 99; ++k) ASSERT_EQ(full.dsp->out_i[k], full.value_of(static_cast<uint8_t>(k)));
  EXPECT_EQ(full.dsp->overruns.load(), 0u);
}

TEST(SampleRing, ExactLapLooksEmptyThenFollowsTheWriter) {
  RingRig rig;
  for (int k = 0; k < 100; ++k) rig.store(static_cast<uint8_t>(k));
  std::vector<int> counts;
  rig.on_idle = [&] {
    counts.push_back(rig.dsp->out_count);
    if (rig.idles == 1) rig.store(200);
    if (rig.idles == 2) rig.stop();
  };
  dsp_thread(rig.links());
  EXPECT_EQ(counts, (std::vector<int>{0, 1}));
  EXPECT_EQ(rig.dsp->out_i[0], rig.value_of(200));
  EXPECT_EQ(rig.dsp->overruns.load(), 100u);  // the 100 blocks before it were never read
  EXPECT_EQ(rig.ring->ring_read.load(), 1);
}

TEST(SampleRing, TornAndEmptySlots) {
  RingRig rig;
  dsp_build_table(*rig.dsp);
  rig.store(7);
  std::vector<float> iq(ring_slot_bytes);
  RingTake take = ring_take(*rig.ring, 0, rig.dsp->sample_table, iq.data());
  EXPECT_FALSE(take.torn);
  EXPECT_EQ(take.pairs, ring_slot_pairs);
  EXPECT_EQ(take.store, 0u);

  // A writer caught in the middle of its next lap over slot 0.
  rig.ring->ring_seq[0].store(2u * 100u + 1u);
  take = ring_take(*rig.ring, 0, rig.dsp->sample_table, iq.data());
  EXPECT_TRUE(take.torn);
  dsp_consume_slot(rig.links());
  EXPECT_EQ(rig.dsp->overruns.load(), 1u);
  EXPECT_EQ(rig.filter->phase, 0);  // nothing of a torn slot is processed

  rig.ring->ring_seq[1].store(4);
  rig.ring->ring_bytes[1].store(0);
  EXPECT_EQ(ring_take(*rig.ring, 1, rig.dsp->sample_table, iq.data()).pairs, 0);
  rig.ring->ring_bytes[1].store(-5);
  EXPECT_EQ(ring_take(*rig.ring, 1, rig.dsp->sample_table, iq.data()).pairs, 0);
}

TEST(SampleRing, MidSlotStopDropsTheRestAndStillAdvances) {
  RingRig rig;
  fir_init_channel(*rig.filter, rxiq12_variant);
  for (int k = 0; k < 5; ++k) rig.store(static_cast<uint8_t>(100 + k));
  // The first block is finished 128,000 samples in, inside the fourth slot; stop there.
  int blocks = 0;
  struct Context {
    RingRig* rig;
    int* blocks;
  } context{&rig, &blocks};
  const BlockSink sink{[](void* c, const void*, int) {
                         auto& ctx = *static_cast<Context*>(c);
                         ++*ctx.blocks;
                         ctx.rig->stop();
                         return 1;
                       },
                       &context};
  dsp_thread(rig.links(sink));
  EXPECT_EQ(blocks, 1);
  EXPECT_EQ(rig.ring->ring_read.load(), 4);  // the fourth slot counts as consumed, the fifth waits
  EXPECT_EQ(rig.idles, 1);
  EXPECT_EQ(rig.filter->phase, 0);  // no sample after the 128,000th was filtered
  EXPECT_EQ(rig.filter->write_pos, 256 + 128000 % 3840);
  EXPECT_EQ(rig.state.stream_stop.load(), 10);
}

TEST(SampleRing, LappedReaderNeverSeesATornBlock) {
  // Each store fills its block with its own number (mod 251), so a whole take must be
  // uniform and agree with the store number it reports.
  constexpr int stores = 417;  // not a whole number of laps, so a late reader still finds blocks
  auto ring = std::make_unique<SampleRing>();
  float identity[256];
  for (int v = 0; v < 256; ++v) identity[v] = static_cast<float>(v);
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::vector<uint8_t> block(ring_slot_bytes);
    for (int n = 0; n < stores; ++n) {
      std::fill(block.begin(), block.end(), static_cast<uint8_t>(n % 251));
      ring_store(*ring, block.data());
    }
    done.store(true);
  });
  std::vector<float> iq(ring_slot_bytes);
  int whole = 0, torn = 0;
  int32_t read = 0;
  for (;;) {
    const bool finished = done.load();
    while (read != ring->ring_write.load(std::memory_order_acquire)) {
      const RingTake take = ring_take(*ring, read, identity, iq.data());
      if (take.torn) {
        ++torn;
      } else {
        ++whole;
        const float want = static_cast<float>(take.store % 251);
        for (float v : iq) ASSERT_EQ(v, want) << "store " << take.store;
      }
      read = ring_next(read);
    }
    if (finished) break;
    std::this_thread::yield();
  }
  writer.join();
  EXPECT_GT(whole, 0);
  EXPECT_EQ(ring->ring_stores.load(), static_cast<uint64_t>(stores));
  EXPECT_LE(whole + torn, stores);
}

TEST(SampleRing, DspThreadAccountsForEveryStore) {
  // A fast writer against the real thread: every store is either processed whole or
  // counted as lost, once.
  constexpr uint64_t stores = 167;
  RingRig rig;
  rig.on_idle = [] { std::this_thread::yield(); };
  std::thread reader([&] { dsp_thread(rig.links()); });
  for (uint64_t n = 0; n < stores; ++n) rig.store(static_cast<uint8_t>(n));
  // Once the last store is reached no lap is pending, so equal indices mean drained.
  while (rig.dsp->next_store.load() != stores || rig.ring->ring_read.load() != rig.ring->ring_write.load()) {
    std::this_thread::yield();
  }
  rig.stop();
  reader.join();
  EXPECT_EQ(rig.state.stream_stop.load(), 10);
  EXPECT_EQ(static_cast<uint64_t>(rig.dsp->out_count) + rig.dsp->overruns.load(), stores);
}

TEST(SampleRing, StoresAndTheStopEndTheReadersWaitForSamples) {
  // Only the wake-ups move the reader: a missed one fails the test instead of passing
  // slowly.
  RingRig rig;
  WakeEvent stored;
  std::thread reader([&, links = rig.woken_links(stored)] { dsp_thread(links); });
  for (uint64_t n = 1; n <= 3; ++n) {
    RingRig::await_sleep(stored);  // waiting, ring empty
    rig.store(static_cast<uint8_t>(n));
    rig.wake_and_await(stored, n);
  }
  rig.stop_sleeping(stored, reader);
  EXPECT_EQ(rig.state.stream_stop.load(), 10);
  EXPECT_EQ(rig.dsp->out_count, 3);
  EXPECT_EQ(rig.dsp->out_i[2], rig.value_of(3));
}

// The tuner's rule (wake the reader once its stores are due) against the real channel
// filter: with nobody watching the spectrum the reader sleeps until the stores complete
// the PCM block it is collecting (128,000 samples, a little under four stores in
// rxiq24), and takes them all in one wake-up; with the display on it takes every store.
TEST(SampleRing, ReaderWakesOncePerBlockUnlessTheSpectrumIsShown) {
  for (const bool shown : {false, true}) {
    RingRig rig;
    fir_init_channel(*rig.filter, rxiq24_variant);
    rig.state.display_run.store(shown ? 1 : 0);
    WakeEvent stored;
    std::thread reader([&, links = rig.woken_links(stored)] { dsp_thread(links); });
    std::vector<uint64_t> woken_at;
    for (uint64_t n = 1; n <= 12; ++n) {
      RingRig::await_sleep(stored);
      rig.store(static_cast<uint8_t>(n));
      if (!ring_wake_due(*rig.ring)) continue;
      woken_at.push_back(n);
      rig.wake_and_await(stored, n);
    }
    rig.stop_sleeping(stored, reader);
    const std::vector<uint64_t> expected =
        shown ? std::vector<uint64_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12} : std::vector<uint64_t>{4, 8, 12};
    EXPECT_EQ(woken_at, expected) << (shown ? "display on" : "display off");
    EXPECT_EQ(rig.dsp->overruns.load(), 0u);
  }
}

}  // namespace
