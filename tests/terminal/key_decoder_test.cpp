#include "terminal/key_decoder.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Feeds the bytes in the given pieces (each piece one read), then lets the lone-Esc
// wait run out once; returns every key decoded.
std::vector<int> decode(const std::vector<std::string>& pieces) {
  KeyDecoder decoder;
  std::vector<int> keys;
  for (const std::string& piece : pieces) {
    for (char c : piece) key_decoder_feed(decoder, static_cast<uint8_t>(c), keys);
  }
  key_decoder_timeout(decoder, keys);
  return keys;
}

std::vector<int> decode(const std::string& bytes) { return decode(std::vector<std::string>{bytes}); }

}  // namespace

TEST(KeyDecoder, CursorAndEditingKeysInEveryForm) {
  struct Case {
    const char* bytes;
    int key;
  } cases[] = {
      {"\x1b[D", vk_left},   {"\x1bOD", vk_left},   {"\x1b[C", vk_right},  {"\x1bOC", vk_right},
      {"\x1b[A", vk_up},     {"\x1bOA", vk_up},     {"\x1b[B", vk_down},   {"\x1bOB", vk_down},
      {"\x1b[5~", vk_prior}, {"\x1b[6~", vk_next},  {"\x1b[H", vk_home},   {"\x1bOH", vk_home},
      {"\x1b[1~", vk_home},  {"\x1b[7~", vk_home},  {"\x1b[F", vk_end},    {"\x1bOF", vk_end},
      {"\x1b[4~", vk_end},   {"\x1b[8~", vk_end},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode(c.bytes), std::vector<int>{c.key}) << "sequence " << c.bytes + 1;
  }
}

TEST(KeyDecoder, LettersInEitherCaseAndOtherBytes) {
  EXPECT_EQ(decode("mMnNtTvV"), (std::vector<int>{'M', 'M', 'N', 'N', 'T', 'T', 'V', 'V'}));
  // Other control bytes and punctuation are no keys of the receiver; what a typed
  // frequency needs is: Enter (CR or LF), Backspace (DEL or BS), the decimal point.
  EXPECT_EQ(decode("\t !~"), std::vector<int>{});
  EXPECT_EQ(decode("\r\n\x7f\b.,"), (std::vector<int>{vk_return, vk_return, vk_back, vk_back,
                                                  vk_oem_period, vk_oem_comma}));
}

TEST(KeyDecoder, LoneEscapeCountsOnlyAfterTheWait) {
  KeyDecoder decoder;
  std::vector<int> keys;
  key_decoder_feed(decoder, 0x1b, keys);
  EXPECT_TRUE(keys.empty());
  EXPECT_TRUE(key_decoder_waiting(decoder));
  key_decoder_timeout(decoder, keys);
  EXPECT_EQ(keys, std::vector<int>{vk_escape});
  EXPECT_FALSE(key_decoder_waiting(decoder));
  // A timeout with nothing pending adds nothing.
  key_decoder_timeout(decoder, keys);
  EXPECT_EQ(keys.size(), 1u);
  // Esc pressed twice in a row: both count.
  EXPECT_EQ(decode("\x1b\x1b"), (std::vector<int>{vk_escape, vk_escape}));
}

TEST(KeyDecoder, UnknownSequencesAreConsumedWholeNeverAsEscapeAndLetters) {
  const char* ignored[] = {
      "\x1b[1;5C",        // Ctrl+Right
      "\x1b[15~",         // F5
      "\x1b[2~",          // Insert
      "\x1bOP",           // F1
      "\x1b[I",           // focus in
      "\x1b[O",           // focus out
      "\x1b[?62;4c",      // a device-attributes reply
      "\x1bm",            // Alt+M
      "\x1b_Gi=31;OK\x1b\\",  // a graphics reply with letters inside
      "\x1bP1$r0m\x1b\\",  // a device control reply
      "\x1b]11;rgb:0/0/0\x07",  // an OS command reply ended by BEL
  };
  for (const char* bytes : ignored) {
    EXPECT_EQ(decode(std::string(bytes) + "t"), std::vector<int>{'T'}) << "sequence " << bytes + 1;
  }
}

TEST(KeyDecoder, PastedTextIsNotKeystrokes) {
  EXPECT_EQ(decode("\x1b[200~vMN\x1b[D\x1b\x1b[201~t"), std::vector<int>{'T'});
}

TEST(KeyDecoder, SequencesSplitAcrossReadsDecodeTheSame) {
  const std::string all = "\x1b[5~v\x1bOH\x1b[1;5Cn\x1b[D";
  const std::vector<int> whole = decode(all);
  ASSERT_EQ(whole, (std::vector<int>{vk_prior, 'V', vk_home, 'N', vk_left}));
  for (size_t cut = 1; cut < all.size(); ++cut) {
    EXPECT_EQ(decode({all.substr(0, cut), all.substr(cut)}), whole) << "cut at " << cut;
  }
  std::vector<std::string> bytewise;
  for (char c : all) bytewise.emplace_back(1, c);
  EXPECT_EQ(decode(bytewise), whole);
}

namespace {

// What the key loop does after lone_escape_ms without a byte.
void silence(KeyDecoder& decoder, std::vector<int>& keys) {
  if (key_decoder_waiting(decoder)) key_decoder_timeout(decoder, keys);
}

void feed(KeyDecoder& decoder, const std::string& bytes, std::vector<int>& keys) {
  for (char c : bytes) key_decoder_feed(decoder, static_cast<uint8_t>(c), keys);
}

// After `input`, silence, one ESC and silence again must give exactly the Esc key.
bool escape_still_quits(const std::string& input) {
  KeyDecoder decoder;
  std::vector<int> keys;
  feed(decoder, input, keys);
  silence(decoder, keys);
  keys.clear();
  key_decoder_feed(decoder, 0x1b, keys);
  silence(decoder, keys);
  return keys == std::vector<int>{vk_escape};
}

}  // namespace

TEST(KeyDecoder, UnfinishedStringsAndPastesGiveWayAfterSilence) {
  // Alt+], Alt+Shift+P, Alt+_, Alt+^ and Alt+Shift+X as a terminal that sends Alt as an
  // ESC prefix types them, with or without text after; a paste start without its end.
  for (const char* start : {"\x1b]", "\x1bP", "\x1b_", "\x1b^", "\x1bX", "\x1b[200~",
                            "\x1b]0;title", "\x1b[200~pasted\x1b", "\x1b[200~x\x1b[20",
                            "\x1bPq\x1b", "\x1b[1;5", "\x1bO"}) {
    EXPECT_TRUE(escape_still_quits(start)) << "after " << start + 1;
    // The keys after the silence decode as keys again.
    KeyDecoder decoder;
    std::vector<int> keys;
    feed(decoder, start, keys);
    silence(decoder, keys);
    keys.clear();
    feed(decoder, "vt\x1b[D", keys);
    EXPECT_EQ(keys, (std::vector<int>{'V', 'T', vk_left})) << "after " << start + 1;
  }
}

TEST(KeyDecoder, EscapeInsideAnUnfinishedSequenceStartsANewOne) {
  EXPECT_EQ(decode("\x1bO\x1b"), std::vector<int>{vk_escape}) << "not taken as the SS3 final";
  EXPECT_EQ(decode("\x1bO\x1b[D"), std::vector<int>{vk_left});
  EXPECT_EQ(decode("\x1b[5\x1b[6~"), std::vector<int>{vk_next});
  EXPECT_EQ(decode("\x1b[1;\x1b"), std::vector<int>{vk_escape});
}

TEST(KeyDecoder, APasteLongerThan64KiBIsAbandoned) {
  const std::string start = "\x1b[200~";
  EXPECT_EQ(decode(start + std::string(max_paste_bytes - 1, 'x') + "t"), std::vector<int>{})
      << "still inside the paste";
  EXPECT_EQ(decode(start + std::string(max_paste_bytes, 'x') + "t"), std::vector<int>{'T'});
  // A paste that ends in time is no keys, however long.
  EXPECT_EQ(decode(start + std::string(max_paste_bytes - 6, 'v') + "\x1b[201~n"),
            std::vector<int>{'N'});
}

TEST(KeyDecoder, EscapeQuitsAfterAnyInput) {
  // Random inputs, biased towards the bytes that open and close sequences.
  const std::string alphabet = "\x1b\x1b\x1b[[O]P_^X\\\x07~;0125tvD\x90\x9b\xff";
  std::mt19937 random(12);
  std::uniform_int_distribution<size_t> length(0, 300);
  std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<int> any_byte(0, 255);
  std::bernoulli_distribution from_alphabet(0.8);
  for (int i = 0; i < 4000; ++i) {
    std::string input(length(random), '\0');
    for (char& c : input) {
      c = static_cast<char>(from_alphabet(random) ? alphabet[pick(random)] : any_byte(random));
    }
    if (i % 4 == 0) input = "\x1b[200~" + input;
    ASSERT_TRUE(escape_still_quits(input)) << "input " << i;
  }
}
