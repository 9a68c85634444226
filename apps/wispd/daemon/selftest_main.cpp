#include "daemon/wispdMain.h"

int main(int argc, char **argv) {
  return Wispd_SelfTestMain(argc, argv);
}
