// Script method kytrixPmuGetPmuInfo: see the class comment of KytrixPmuCall.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_GET_PMU_INFO_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_GET_PMU_INFO_H

#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

KYTRIX_PMU_METHOD_CLASS(KytrixPmuGetPmuInfo)

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_GET_PMU_INFO_H
