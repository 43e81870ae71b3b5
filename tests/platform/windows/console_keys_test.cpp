#include "platform/windows/console_keys.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "terminal/key_decoder.h"

namespace {

ConsoleKeyRecord key_down(uint16_t virtual_key, char16_t character = 0) {
  ConsoleKeyRecord r;
  r.event_type = KEY_EVENT;
  r.key_down = true;
  r.virtual_key = virtual_key;
  r.character = character;
  return r;
}

}  // namespace

TEST(ConsoleKeys, KeyDownRecordsGiveTheReceiversKeyCodes) {
  // What the console reports for each key the receiver knows, and what the key table
  // expects for it.
  const struct {
    uint16_t virtual_key;
    char16_t character;
    int expected;
  } keys[] = {
      {VK_LEFT, 0, vk_left},    {VK_RIGHT, 0, vk_right}, {VK_HOME, 0, vk_home},
      {VK_END, 0, vk_end},      {VK_PRIOR, 0, vk_prior}, {VK_NEXT, 0, vk_next},
      {VK_ESCAPE, 0x1B, vk_escape},
      {'M', u'm', 'M'}, {'M', u'M', 'M'}, {'N', u'n', 'N'}, {'T', u't', 'T'}, {'V', u'V', 'V'},
      // A Cyrillic layout types another letter on the same key; the key still counts.
      {'V', u'\u043C', 'V'},
      // Keys outside the table pass through as themselves; the table ignores them.
      {VK_UP, 0, vk_up}, {VK_F1, 0, VK_F1},
  };
  for (const auto& k : keys) {
    EXPECT_EQ(console_key_code(key_down(k.virtual_key, k.character)), k.expected)
        << "virtual key " << k.virtual_key;
  }
}

TEST(ConsoleKeys, WithoutAVirtualKeyALetterCountsByItsCharacter) {
  EXPECT_EQ(console_key_code(key_down(0, u't')), 'T');
  EXPECT_EQ(console_key_code(key_down(0, u'V')), 'V');
  EXPECT_EQ(console_key_code(key_down(0, u'5')), 0);
  EXPECT_EQ(console_key_code(key_down(0, 0)), 0);
}

TEST(ConsoleKeys, KeyUpsAndOtherRecordsAreNoKeys) {
  ConsoleKeyRecord up = key_down(VK_ESCAPE);
  up.key_down = false;
  EXPECT_EQ(console_key_code(up), 0);
  for (uint16_t type : {MOUSE_EVENT, WINDOW_BUFFER_SIZE_EVENT, MENU_EVENT, FOCUS_EVENT}) {
    ConsoleKeyRecord other = key_down(VK_ESCAPE);
    other.event_type = type;
    EXPECT_EQ(console_key_code(other), 0) << "event type " << type;
  }
}
