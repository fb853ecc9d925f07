#!/bin/sh
# Runs kyt_nvme_vm in the VM bench against QEMU's NVMe controller (UIO, hugepages, a 16 MiB controller memory buffer).
# The bench is at ../shared/vmbench/vmbench beside the repository. Exit 77 (skipped) only when QEMU or the bench is
# not installed.
set -u
vmbench="$(cd "$(dirname "$0")/../../.." && pwd)/../shared/vmbench/vmbench"
if ! command -v qemu-system-x86_64 >/dev/null 2>&1 || [ ! -x "$vmbench" ]; then
  echo "SKIPPED: qemu-system-x86_64 or the VM bench (../shared/vmbench/vmbench) is not installed"
  exit 77
fi
# The guest kernel skips its boot-time check that the timer interrupt ticks, which an emulated guest on a loaded
# machine can fail.
VMBENCH_APPEND=no_timer_check exec "$vmbench" -q --nvme 64 --nvme-opts cmb_size_mb=16,legacy-cmb=on --bind uio \
  --hugepages 256 --timeout 110 -- \
  "$1" 0000:00:04.0 2>&1
