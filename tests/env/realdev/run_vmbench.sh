#!/bin/sh
# Runs a check in the VM bench: QEMU's NVMe 1.4 controller bound to a user-space driver, hugepages.
# Usage: run_vmbench.sh <uio|vfio> <kyt_env_realdev binary>   the real-device check
#        run_vmbench.sh uio-nohuge <kyt_env_realdev binary>   without hugepages (IOVA as VA) a UIO device is refused
#        run_vmbench.sh unit <kyt_env_test binary>            the memory, ring and PCI unit tests on hugepages with
#                                                             physical DMA addresses (UIO), as on real benches
set -u
mode="$1"
bin="$2"
# The VM bench lives in shared/ beside the repository.
vmbench="$(cd "$(dirname "$0")/../../../.." && pwd)/shared/vmbench/vmbench"
if ! command -v qemu-system-x86_64 >/dev/null 2>&1 || [ ! -x "$vmbench" ]; then
	echo "SKIP: qemu-system-x86_64 or the VM bench ($vmbench) is not installed (scripts/setup.sh installs them)"
	exit 77
fi
fail() {
	echo "FAIL: $*"
	exit 1
}
# The guest kernel skips its boot-time check that the timer interrupt ticks: emulated on a loaded machine the check can
# miss its ticks, and a kernel with the emulated IOMMU's interrupt remapping (VFIO) then panics.
export VMBENCH_APPEND=no_timer_check
if [ "$mode" = unit ]; then
	out=$("$vmbench" -q --timeout 100 --nvme 64 --bind uio --hugepages 256 -- \
		"$bin" --gtest_filter='DmaMemory.*:MemZone.*:Ring.*:SwDev.*:Ticks.RateStaysTheSameAcrossTheStart' 2>&1)
	rc=$?
	printf '%s\n' "$out"
	[ "$rc" -eq 0 ] || fail "the tests exited with $rc"
	printf '%s\n' "$out" | grep -qF '[  PASSED  ]' || fail "no passing tests reported"
	printf '%s\n' "$out" | grep -qF -- '--no-huge' && fail "the environment did not use hugepages"
	echo "PASS"
	exit 0
fi
if [ "$mode" = uio-nohuge ]; then
	out=$("$vmbench" -q --timeout 100 --nvme 64 --bind uio -- "$bin" 0000:00:04.0 2>&1)
	rc=$?
	printf '%s\n' "$out"
	[ "$rc" -eq 1 ] || fail "the real-device check exited with $rc, not 1 (attach refused)"
	for want in "--no-huge" "(IOVA as VA)" "REALDEV: attach -95" "REALDEV: cause PCI device 0000:00:04.0 is bound to \
uio_pci_generic, which needs physical addresses: mount hugepages or bind the device to vfio-pci"; do
		printf '%s\n' "$out" | grep -qF -- "$want" || fail "missing '$want'"
	done
	echo "PASS: $mode"
	exit 0
fi
out=$("$vmbench" -q --timeout 100 --nvme 64 --bind "$mode" --hugepages 256 -- "$bin" 0000:00:04.0 00010400 2>&1)
rc=$?
printf '%s\n' "$out"
[ "$rc" -eq 0 ] || fail "the real-device check exited with $rc"
[ "$mode" = uio ] && dma="(IOVA as PA)" || dma="(IOVA as VA)"
for want in "REALDEV: environment start 0" "--huge-unlink" "-a 0000:00:04.0" "REALDEV: claim held" "REALDEV: attach 0" \
	"REALDEV: VS 0x00010400" "REALDEV: OK" "$dma"; do
	printf '%s\n' "$out" | grep -qF -- "$want" || fail "missing '$want'"
done
echo "PASS: $mode"
