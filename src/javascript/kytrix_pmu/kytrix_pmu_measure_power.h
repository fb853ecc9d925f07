// Script method kytrixPmuMeasurePower: see the class comment of KytrixPmuCall.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_MEASURE_POWER_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_MEASURE_POWER_H

#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

KYTRIX_PMU_METHOD_CLASS(KytrixPmuMeasurePower)

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_MEASURE_POWER_H
