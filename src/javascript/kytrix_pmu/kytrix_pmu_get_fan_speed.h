// Script method kytrixPmuGetFanSpeed: see the class comment of KytrixPmuCall.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_GET_FAN_SPEED_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_GET_FAN_SPEED_H

#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

KYTRIX_PMU_METHOD_CLASS(KytrixPmuGetFanSpeed)

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_GET_FAN_SPEED_H
