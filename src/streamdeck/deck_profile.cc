#include "streamdeck/deck_profile.h"

#include <array>

namespace tolvarine::operator_control {
namespace {

using enum deck_family;

constexpr std::array<deck_profile, 14> profile_table{{
    {0x0060, "Stream Deck Original", family_legacy, 15, 72, 72, "bmp", 0},
    {0x006D, "Stream Deck 2019", family_main, 15, 72, 72, "jpeg", 180},
    {0x0080, "Stream Deck Mk.2", family_main, 15, 72, 72, "jpeg", 180},
    {0x00A5, "Stream Deck Mk.2 Scissor", family_main, 15, 72, 72, "jpeg", 180},
    {0x00B9, "Stream Deck 15-Key Module", family_main, 15, 72, 72, "jpeg", 180},
    {0x006C, "Stream Deck XL", family_main, 32, 96, 96, "jpeg", 180},
    {0x008F, "Stream Deck XL 2022", family_main, 32, 96, 96, "jpeg", 180},
    {0x00BA, "Stream Deck 32-Key Module", family_main, 32, 96, 96, "jpeg", 180},
    {0x0063, "Stream Deck Mini", family_mini, 6, 80, 80, "bmp", 90},
    {0x0090, "Stream Deck Mini 2022", family_mini, 6, 80, 80, "bmp", 90},
    {0x00B3, "Stream Deck Mini Discord", family_mini, 6, 80, 80, "bmp", 90},
    {0x00B8, "Stream Deck 6-Key Module", family_mini, 6, 80, 80, "bmp", 90},
    {0x0084, "Stream Deck +", family_main, 8, 120, 120, "jpeg", 0},
    {0x009A, "Stream Deck Neo", family_main, 8, 96, 96, "jpeg", 180},
}};

}  // namespace

std::span<const deck_profile> profiles() { return profile_table; }

const deck_profile* profile_for(std::uint16_t product_id) {
  for (const deck_profile& p : profile_table) {
    if (p.product_id == product_id) return &p;
  }
  return nullptr;
}

}  // namespace tolvarine::operator_control
