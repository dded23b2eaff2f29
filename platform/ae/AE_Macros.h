// Convenience macros of the effect API.
#pragma once

#include "AE_Effect.h"

#define PF_ABORT(IN_DATA) (*(IN_DATA)->inter.abort)((IN_DATA)->effect_ref)
#define PF_PROGRESS(IN_DATA, CURR, TOTAL) \
    (*(IN_DATA)->inter.progress)((IN_DATA)->effect_ref, (CURR), (TOTAL))
#define PF_CHECKOUT_PARAM(IN_DATA, IDX, TIME, STEP, SCALE, PARAM) \
    (*(IN_DATA)->inter.checkout_param)((IN_DATA)->effect_ref, (IDX), (TIME), (STEP), (SCALE), (PARAM))
#define PF_CHECKIN_PARAM(IN_DATA, PARAM) \
    (*(IN_DATA)->inter.checkin_param)((IN_DATA)->effect_ref, (PARAM))
#define PF_ADD_PARAM(IN_DATA, INDEX, DEF) \
    (*(IN_DATA)->inter.add_param)((IN_DATA)->effect_ref, (INDEX), (DEF))

#define ERR(FUNC)                  \
    do {                           \
        if (!err) err = (FUNC);    \
    } while (0)
#define ERR2(FUNC)                 \
    do {                           \
        if (((err2 = (FUNC)) != 0) && !err) err = err2; \
    } while (0)
