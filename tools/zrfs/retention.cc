#include "retention.h"

#include <fmt/format.h>

namespace zrfs::tool {
namespace {

const char *ModeKey(int32_t mode) {
  return mode == ZRFS_OVERWRITE_OLDEST ? "overwrite_oldest" : "keep_all";
}

const char *ModeText(int32_t mode) {
  return mode == ZRFS_OVERWRITE_OLDEST ? "overwrite oldest"
                                       : "keep all (a full disk refuses new recordings)";
}

}  // namespace

RetentionView ReadRetention(const DiskTarget &target) {
  RetentionView view;
  // A private root is this run's own: no recorder shares its key
  // directory, and its root is not target.root (the system's).
  view.privateRoot = target.privateRoot;
  if (target.privateRoot) return view;
  const char *root = target.root.c_str();
  int users = zrfs_DiskUsers(root, target.disk);
  view.shared = users > 0;
  // With the users unknown, the library reads the defaults, which may not
  // be what the recorders share.
  view.known = users >= 0 && zrfs_DiskRetention(root, target.disk, &view.policy) == 0;
  if (!view.known) view.policy = ZrfsRetention{};
  return view;
}

Json RetentionJson(const RetentionView &view) {
  Json quotas = Json::array();
  for (uint32_t chan = 0; chan < uint32_t(ZRFS_CHANNELS); ++chan)
    if (uint32_t blocks = QuotaOf(view, chan))
      quotas.push_back({{"channel", chan}, {"blocks", blocks}});
  return {{"mode", view.known ? Json(ModeKey(view.policy.mode)) : Json(nullptr)},
          {"quotas", view.known ? quotas : Json(nullptr)},
          {"shared_by_running_processes", view.shared}};
}

std::string RetentionText(const RetentionView &view) {
  if (!view.known)
    return "retention: unknown (the settings the running processes share cannot be read)\n";
  std::string quotas;
  for (uint32_t chan = 0; chan < uint32_t(ZRFS_CHANNELS); ++chan)
    if (uint32_t blocks = QuotaOf(view, chan))
      quotas += fmt::format("{}channel {}: {} block{}", quotas.empty() ? "" : ", ", chan, blocks,
                            blocks == 1 ? "" : "s");
  std::string text = fmt::format("retention: {}\nquotas: {}\n", ModeText(view.policy.mode),
                                 quotas.empty() ? "none" : quotas);
  if (view.privateRoot)
    text +=
        "(the defaults a mount starts from: no recorder shares this run's private root; "
        "--root reads theirs)\n";
  else if (!view.shared)
    text +=
        "(no running process has the disk mounted: these are the defaults a mount starts "
        "from)\n";
  return text;
}

}  // namespace zrfs::tool
