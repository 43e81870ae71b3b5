#include "dsp/listen_channel.h"

void listen_set_rates(ListenChannel& channel, int32_t sample_rate, int32_t frame_rate) {
  channel.sample_rate = sample_rate;
  channel.frame_rate = frame_rate;
}

void listen_apply(ListenChannel&, const RxState&) {}

void listen_feed_raw(ListenChannel&, const float*, int32_t, const BlockSink&) {}

void listen_feed_baseband(ListenChannel&, const float*, const float*, int32_t, const BlockSink&) {}
