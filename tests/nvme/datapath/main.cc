#include <gtest/gtest.h>

#include <cstdio>

#include "kyt/env_test.h"
#include "nvme_internal.h"

int main(int argc, char** argv)
{
  ::testing::InitGoogleTest(&argc, argv);
  int rc = kyt_env_test_init("kyt_nvme_datapath");
  if (rc != 0) {
    fprintf(stderr, "environment start failed: %d\n", rc);
    return 1;
  }
  if (nvme_driver_init() != 0) {
    fprintf(stderr, "driver initialisation failed\n");
    return 1;
  }
  return RUN_ALL_TESTS();
}
