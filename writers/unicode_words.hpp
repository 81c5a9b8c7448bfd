// What the HTML writer's ids keep of a text beyond ASCII (unicode_words.cpp, generated).
#pragma once

#include <cstdint>

namespace quillet::writers {

// Whether `cp` (above ASCII) is a letter, a mark or a number: a character of a word in any script.
bool is_word_code_point(uint32_t cp);

// The simple lower case of `cp` (above ASCII), or `cp` when it has none.
uint32_t lower_code_point(uint32_t cp);

}  // namespace quillet::writers
