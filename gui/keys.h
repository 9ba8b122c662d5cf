// Key codes (the Win32 virtual-key values) and the shift state that the
// controls' KeyDown operations receive.
#pragma once

#include <cstdint>

#include "platform/sets.h"

namespace btr {

constexpr uint16_t VK_BACK = 8;
constexpr uint16_t VK_TAB = 9;
constexpr uint16_t VK_RETURN = 13;
constexpr uint16_t VK_ESCAPE = 27;
constexpr uint16_t VK_SPACE = 32;
constexpr uint16_t VK_PRIOR = 33;
constexpr uint16_t VK_NEXT = 34;
constexpr uint16_t VK_END = 35;
constexpr uint16_t VK_HOME = 36;
constexpr uint16_t VK_LEFT = 37;
constexpr uint16_t VK_UP = 38;
constexpr uint16_t VK_RIGHT = 39;
constexpr uint16_t VK_DOWN = 40;
constexpr uint16_t VK_INSERT = 45;
constexpr uint16_t VK_DELETE = 46;
constexpr uint16_t VK_F1 = 112;
constexpr uint16_t VK_F2 = 113;
constexpr uint16_t VK_F3 = 114;
constexpr uint16_t VK_F4 = 115;
constexpr uint16_t VK_F12 = 123;
// Digits and letters are their ASCII codes ('0'..'9', 'A'..'Z').

enum TShiftStateItem { ssShift, ssAlt, ssCtrl, ssLeft, ssRight, ssMiddle, ssDouble };
using TShiftState = TSet<TShiftStateItem, 7>;

} // namespace btr
