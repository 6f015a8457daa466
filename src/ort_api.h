// The part of ONNX Runtime's C ABI (API version 22, ONNX Runtime 1.22) that
// this library uses, declared from its documented table layout. Only the used
// slots have names; the others are placeholders that keep the offsets right.
#ifndef ORVEL_ORT_API_H
#define ORVEL_ORT_API_H

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define ORT_CALL __stdcall
typedef wchar_t OrtPathChar;
#else
#define ORT_CALL
typedef char OrtPathChar;
#endif

constexpr uint32_t ORT_API_VERSION_USED = 22;

struct OrtEnv;
struct OrtStatus;
struct OrtMemoryInfo;
struct OrtSession;
struct OrtSessionOptions;
struct OrtValue;
struct OrtRunOptions;
struct OrtTensorTypeAndShapeInfo;

enum OrtLoggingLevel : int { ORT_LOGGING_LEVEL_WARNING = 2 };
enum OrtAllocatorType : int { OrtArenaAllocator = 1 };
enum OrtMemType : int { OrtMemTypeDefault = 0 };
enum GraphOptimizationLevel : int { ORT_DISABLE_ALL = 0, ORT_ENABLE_ALL = 99 };
enum OrtErrorCode : int { ORT_OK = 0, ORT_FAIL = 1 };
enum ONNXTensorElementDataType : int {
    ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT = 1,
    ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64 = 7,
};

struct OrtApi {
    OrtStatus *(ORT_CALL *CreateStatus)(OrtErrorCode code, const char *msg);           // 0
    OrtErrorCode(ORT_CALL *GetErrorCode)(const OrtStatus *status);                     // 1
    const char *(ORT_CALL *GetErrorMessage)(const OrtStatus *status);                  // 2
    OrtStatus *(ORT_CALL *CreateEnv)(OrtLoggingLevel level, const char *logid, OrtEnv **out);  // 3
    void *unused_4_6[3];
    OrtStatus *(ORT_CALL *CreateSession)(const OrtEnv *env, const OrtPathChar *model_path,
                                         const OrtSessionOptions *options, OrtSession **out);  // 7
    void *unused_8;
    OrtStatus *(ORT_CALL *Run)(OrtSession *session, const OrtRunOptions *run_options,
                               const char *const *input_names, const OrtValue *const *inputs,
                               size_t input_len, const char *const *output_names,
                               size_t output_names_len, OrtValue **outputs);            // 9
    OrtStatus *(ORT_CALL *CreateSessionOptions)(OrtSessionOptions **options);          // 10
    void *unused_11_14[4];
    OrtStatus *(ORT_CALL *DisableProfiling)(OrtSessionOptions *options);               // 15
    void *unused_16;
    OrtStatus *(ORT_CALL *DisableMemPattern)(OrtSessionOptions *options);              // 17
    void *unused_18;
    OrtStatus *(ORT_CALL *DisableCpuMemArena)(OrtSessionOptions *options);             // 19
    void *unused_20_21[2];
    // The tests raise a session's log level with it, to see the options applied.
    OrtStatus *(ORT_CALL *SetSessionLogSeverityLevel)(OrtSessionOptions *options, int level);  // 22
    OrtStatus *(ORT_CALL *SetSessionGraphOptimizationLevel)(OrtSessionOptions *options,
                                                            GraphOptimizationLevel level);  // 23
    void *unused_24_48[25];
    OrtStatus *(ORT_CALL *CreateTensorWithDataAsOrtValue)(const OrtMemoryInfo *info, void *data,
                                                          size_t data_bytes, const int64_t *shape,
                                                          size_t shape_len,
                                                          ONNXTensorElementDataType type,
                                                          OrtValue **out);             // 49
    void *unused_50;
    OrtStatus *(ORT_CALL *GetTensorMutableData)(OrtValue *value, void **out);          // 51
    void *unused_52_59[8];
    OrtStatus *(ORT_CALL *GetTensorElementType)(const OrtTensorTypeAndShapeInfo *info,
                                                ONNXTensorElementDataType *out);       // 60
    OrtStatus *(ORT_CALL *GetDimensionsCount)(const OrtTensorTypeAndShapeInfo *info, size_t *out);  // 61
    OrtStatus *(ORT_CALL *GetDimensions)(const OrtTensorTypeAndShapeInfo *info, int64_t *dims,
                                         size_t dims_len);                             // 62
    void *unused_63;
    OrtStatus *(ORT_CALL *GetTensorShapeElementCount)(const OrtTensorTypeAndShapeInfo *info,
                                                      size_t *out);                    // 64
    OrtStatus *(ORT_CALL *GetTensorTypeAndShape)(const OrtValue *value,
                                                 OrtTensorTypeAndShapeInfo **out);     // 65
    void *unused_66_68[3];
    OrtStatus *(ORT_CALL *CreateCpuMemoryInfo)(OrtAllocatorType type, OrtMemType mem_type,
                                               OrtMemoryInfo **out);                   // 69
    void *unused_70_91[22];
    void(ORT_CALL *ReleaseEnv)(OrtEnv *input);                                          // 92
    void(ORT_CALL *ReleaseStatus)(OrtStatus *input);                                    // 93
    void(ORT_CALL *ReleaseMemoryInfo)(OrtMemoryInfo *input);                            // 94
    void(ORT_CALL *ReleaseSession)(OrtSession *input);                                  // 95
    void(ORT_CALL *ReleaseValue)(OrtValue *input);                                      // 96
    void *unused_97_98[2];
    void(ORT_CALL *ReleaseTensorTypeAndShapeInfo)(OrtTensorTypeAndShapeInfo *input);    // 99
    void(ORT_CALL *ReleaseSessionOptions)(OrtSessionOptions *input);                    // 100
    // The real table goes on; never copy this struct or take its size.
};

// These restate the numbers above, so they catch a slip in the struct (a
// placeholder of the wrong length), not a wrong number: a slot declared one
// place off with its number changed to match passes them. test_ort_api.cpp
// checks against ONNX Runtime itself what each named slot does.
#define ORVEL_ORT_SLOT(member, slot) \
    static_assert(offsetof(OrtApi, member) == (slot) * sizeof(void *), #member " is not slot " #slot)
ORVEL_ORT_SLOT(GetErrorMessage, 2);
ORVEL_ORT_SLOT(CreateEnv, 3);
ORVEL_ORT_SLOT(CreateSession, 7);
ORVEL_ORT_SLOT(Run, 9);
ORVEL_ORT_SLOT(CreateSessionOptions, 10);
ORVEL_ORT_SLOT(DisableProfiling, 15);
ORVEL_ORT_SLOT(DisableMemPattern, 17);
ORVEL_ORT_SLOT(DisableCpuMemArena, 19);
ORVEL_ORT_SLOT(SetSessionLogSeverityLevel, 22);
ORVEL_ORT_SLOT(SetSessionGraphOptimizationLevel, 23);
ORVEL_ORT_SLOT(CreateTensorWithDataAsOrtValue, 49);
ORVEL_ORT_SLOT(GetTensorMutableData, 51);
ORVEL_ORT_SLOT(GetTensorElementType, 60);
ORVEL_ORT_SLOT(GetDimensionsCount, 61);
ORVEL_ORT_SLOT(GetDimensions, 62);
ORVEL_ORT_SLOT(GetTensorShapeElementCount, 64);
ORVEL_ORT_SLOT(GetTensorTypeAndShape, 65);
ORVEL_ORT_SLOT(CreateCpuMemoryInfo, 69);
ORVEL_ORT_SLOT(ReleaseEnv, 92);
ORVEL_ORT_SLOT(ReleaseStatus, 93);
ORVEL_ORT_SLOT(ReleaseMemoryInfo, 94);
ORVEL_ORT_SLOT(ReleaseSession, 95);
ORVEL_ORT_SLOT(ReleaseValue, 96);
ORVEL_ORT_SLOT(ReleaseTensorTypeAndShapeInfo, 99);
ORVEL_ORT_SLOT(ReleaseSessionOptions, 100);
#undef ORVEL_ORT_SLOT

struct OrtApiBase {
    const OrtApi *(ORT_CALL *GetApi)(uint32_t version);
    const char *(ORT_CALL *GetVersionString)(void);
};

extern "C" const OrtApiBase *ORT_CALL OrtGetApiBase(void);

#endif
