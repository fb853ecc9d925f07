// Script method kytrixPmuUpdateFirmware: see the class comment of KytrixPmuCall.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_UPDATE_FIRMWARE_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_UPDATE_FIRMWARE_H

#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

KYTRIX_PMU_METHOD_CLASS(KytrixPmuUpdateFirmware)

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_UPDATE_FIRMWARE_H
