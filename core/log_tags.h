// Log tags: the short subsystem names written between the second pair of
// brackets of every log line. One place, so a tag is never misspelt.
#pragma once

namespace bh::tag {
inline constexpr char kCore[] = "core";
inline constexpr char kConfig[] = "config";
inline constexpr char kGameThread[] = "gamethread";
inline constexpr char kBootstrap[] = "bootstrap";
inline constexpr char kHooks[] = "hooks";
inline constexpr char kTrace[] = "trace";
inline constexpr char kUe[] = "ue";
inline constexpr char kNet[] = "net";
inline constexpr char kCoop[] = "coop";
inline constexpr char kProfiles[] = "profiles";
inline constexpr char kEnemySync[] = "enemysync";
inline constexpr char kPlayerSync[] = "playersync";
inline constexpr char kPuppet[] = "puppet";
inline constexpr char kPoseDriver[] = "posedriver";
inline constexpr char kRules[] = "rules";
inline constexpr char kSummon[] = "summon";
inline constexpr char kOverlay[] = "overlay";
inline constexpr char kI18n[] = "i18n";
}  // namespace bh::tag
