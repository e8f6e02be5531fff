// Player names: the cleaning every name passes (local, from Steam, from the
// file, from the wire) and the per-save-slot names kept in profiles.json.
//
// Offers: CleanName, MemberName, LookupName, StoreName (profiles.json in the
// saved folder; unknown keys kept), ProfileSlotKey.
// Needs: tr (default names), the saved folder, WriteFile/Move for saving.
// Threads: CleanName/MemberName anywhere; the profile store is guarded by
// its own mutex and writes synchronously on the calling (game) thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace bh::coop {

inline constexpr std::size_t kNameMaxChars = 24;

// Valid, printable UTF-8 of at most 24 characters and 72 bytes, trimmed of
// spaces; empty when nothing usable remains.
std::string CleanName(std::string_view text);
// CleanName(text), or the default name followed by slot + 1 ("Player2").
std::string MemberName(std::string_view text, std::uint8_t slot);

// "slot" + the save slot (negative counted as 0).
std::string ProfileSlotKey(int saveSlot);

// The stored name of a profile and save slot, cleaned; none when unset.
std::optional<std::string> LookupName(const std::string& profileKey, int saveSlot);
// Stores (or, for a name that cleans to nothing, removes) the slot's name
// and saves the file; returns whether the file was saved.
bool StoreName(const std::string& profileKey, int saveSlot, std::string_view name);

namespace testing {
// Uses folder instead of the saved folder and forgets what was loaded.
void UseProfilesFolder(const std::wstring& folder);
}  // namespace testing

}  // namespace bh::coop
