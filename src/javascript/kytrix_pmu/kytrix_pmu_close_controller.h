// Script method kytrixPmuCloseController: see the class comment of KytrixPmuCall.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_CLOSE_CONTROLLER_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_CLOSE_CONTROLLER_H

#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

KYTRIX_PMU_METHOD_CLASS(KytrixPmuCloseController)

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_CLOSE_CONTROLLER_H
