/*
 * The statuses every operation of the point-fusion library returns and the
 * fixed messages it leaves, for C and C++ alike: the library, its C
 * interface (kelvane_c.h), its tools and hosts all take them from here.
 *
 * getLastErrorMessage() joins two of the messages:
 * "[interface] : " <wrapper message> " | [impl] : " <engine message>.
 * "no init !" and "no init!" are different texts that different operations
 * leave.
 */
#ifndef KELVANE_STATUS_H
#define KELVANE_STATUS_H

/* Statuses. */
#define KELVANE_OK 0
#define KELVANE_FAILED 1
#define KELVANE_OUT_OF_MEMORY 66049    /* 0x10201: an allocation failed */
#define KELVANE_INVALID_ARGUMENT 66051 /* 0x10203: an argument or byte stream is invalid */

/* Messages of the wrapper and of the engine. */
#define KELVANE_MSG_NO_ERROR "no error !"
#define KELVANE_MSG_ENGINE_NEW "no error msg !"
#define KELVANE_MSG_NOT_INIT "is not init !"
#define KELVANE_MSG_NO_INIT "no init !"
#define KELVANE_MSG_NO_INIT_TIGHT "no init!"
#define KELVANE_MSG_UNSUPPORTED_DATA "unsupport data!"
#define KELVANE_MSG_INVALID_DATA "invalid data !"
#define KELVANE_MSG_PROCESS_EXCEPTION "process try catch error !"
#define KELVANE_MSG_EXTRACT_EXCEPTION "extractLivePoint try catch error !"
#define KELVANE_MSG_UPDATES_EXCEPTION "getUpdateVertices try catch error!"
#define KELVANE_MSG_NO_MEMORY "memory is lacked!"
#define KELVANE_MSG_SAVE_NO_MEMORY "memory is lacked"
#define KELVANE_MSG_NO_STREAM "hash_stream is nullptr"
#define KELVANE_MSG_INVALID_STREAM "byte stream is invalid!"
#define KELVANE_MSG_STREAM_SIZE "byte stream size is invalid!"
#define KELVANE_MSG_SAVE_EXCEPTION "serializeToStream try catch error!"
#define KELVANE_MSG_LOAD_EXCEPTION "deserializeByStream try catch error!"
#define KELVANE_MSG_MERGE_EMPTY "waiting for fusion data is empty!"
#define KELVANE_MSG_MERGE_NOT_FOUND "waiting for fusion data not found!"
#define KELVANE_MSG_MERGE_ABC "fusion abc point position error!"
#define KELVANE_MSG_MERGE_AB "fusion ab point position error!"
#define KELVANE_MSG_MERGE_AC "fusion ac point position error!"

#ifdef __cplusplus
namespace fusion {
namespace status {
constexpr int kOk = KELVANE_OK;
constexpr int kFailed = KELVANE_FAILED;
constexpr int kOutOfMemory = KELVANE_OUT_OF_MEMORY;
constexpr int kInvalidArgument = KELVANE_INVALID_ARGUMENT;
}  // namespace status
}  // namespace fusion
#endif

#endif /* KELVANE_STATUS_H */
