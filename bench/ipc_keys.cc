#include "ipc_keys.h"

#include <sys/ipc.h>
#include <sys/sem.h>
#include <sys/shm.h>
#include <unistd.h>

namespace bench {
namespace {

int RemoveShm(key_t key) {
  int id = shmget(key, 0, 0);
  return id >= 0 && shmctl(id, IPC_RMID, nullptr) == 0 ? 1 : 0;
}

int RemoveSem(key_t key) {
  int id = semget(key, 0, 0);
  return id >= 0 && semctl(id, 0, IPC_RMID) == 0 ? 1 : 0;
}

}  // namespace

int RemoveIpcObjects(const std::string &root) {
  int removed = 0;
  std::string layer = root + "/dvr/zrfs/zrfslayer";
  if (access(layer.c_str(), F_OK) == 0) {
    for (int id : {'A', 'B'}) removed += RemoveShm(ftok(layer.c_str(), id));
    for (int id : {'a', 'b', 'c'}) removed += RemoveSem(ftok(layer.c_str(), id));
  }
  for (int file = 0; file < 17; ++file) {
    std::string name = root + "/dvr/zrfs/zrfs" + std::to_string(file);
    if (access(name.c_str(), F_OK) != 0) continue;
    for (int id = 1; id <= 126; ++id) {
      key_t key = ftok(name.c_str(), id);
      removed += RemoveShm(key) + RemoveSem(key) + RemoveSem(key + 0x10000);
    }
  }
  return removed;
}

}  // namespace bench
