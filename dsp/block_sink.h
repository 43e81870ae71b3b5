// Where finished PCM blocks go: the receiver points a sink at an audio slot
// (audio_write), rxiq-dsp at standard output. The result is not examined.
#pragma once

struct BlockSink {
  int (*write)(void* context, const void* data, int length) = nullptr;
  void* context = nullptr;
};
