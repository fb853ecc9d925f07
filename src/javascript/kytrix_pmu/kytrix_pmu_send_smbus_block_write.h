// Script method kytrixPmuSendSmbusBlockWrite: see the class comment of KytrixPmuCall.
#ifndef KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_SEND_SMBUS_BLOCK_WRITE_H
#define KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_SEND_SMBUS_BLOCK_WRITE_H

#include "javascript/kytrix_pmu/kytrix_pmu_call.h"

KYTRIX_PMU_METHOD_CLASS(KytrixPmuSendSmbusBlockWrite)

#endif  // KYT_JAVASCRIPT_KYTRIX_PMU_KYTRIX_PMU_SEND_SMBUS_BLOCK_WRITE_H
