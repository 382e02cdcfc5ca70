/* Compiles the gateway header as C: it must stay usable from C programs. */
#include "qova.h"

qova_result_t qova_c_check_dump(const qova_msg_t* msg, char* buffer, size_t* size);

qova_result_t qova_c_check_dump(const qova_msg_t* msg, char* buffer, size_t* size) {
    qova_callback_t callback = 0;
    (void)callback;
    return msg->type == QOVA_MSG_DATA ? QOVA_OK
                                      : (buffer && size ? QOVA_E_STATE : QOVA_E_INVALID_ARG);
}
