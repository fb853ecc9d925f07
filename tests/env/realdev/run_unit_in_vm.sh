#!/bin/sh
# Runs the memory, ring and PCI unit tests in the VM bench, where the environment runs on hugepages with physical
# DMA addresses (a UIO-bound controller is on the bus), the configuration the product runs in on real benches.
# Usage: run_unit_in_vm.sh <kyt_env_test binary>
set -u
bin="$1"
vmbench="${KYT_VMBENCH:-/work/shared/vmbench/vmbench}"
if ! command -v qemu-system-x86_64 >/dev/null 2>&1; then
	echo "SKIP: qemu-system-x86_64 is not installed (scripts/setup.sh installs the VM bench packages)"
	exit 77
fi
if [ ! -x "$vmbench" ]; then
	echo "SKIP: the VM bench is not available at $vmbench"
	exit 77
fi
out=$("$vmbench" -q --timeout 100 --nvme 64 --bind uio --hugepages 256 -- \
	"$bin" --gtest_filter='DmaMemory.*:MemZone.*:Ring.*:SwDev.*:Ticks.RateStaysTheSameAcrossTheStart' 2>&1)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 0 ] || { echo "FAIL: the tests exited with $rc"; exit 1; }
printf '%s\n' "$out" | grep -qF '[  PASSED  ]' || { echo "FAIL: no passing tests reported"; exit 1; }
printf '%s\n' "$out" | grep -qF -- '--no-huge' && { echo "FAIL: the environment did not use hugepages"; exit 1; }
echo "PASS"
