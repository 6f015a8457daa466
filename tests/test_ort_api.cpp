// Our own declaration of ONNX Runtime's table: every named slot is called here
// or by the engine tests, with results that tell neighbouring slots apart.
#include <gtest/gtest.h>

#include <string>

#include "ort_api.h"

namespace {

const OrtApi *api() { return OrtGetApiBase()->GetApi(ORT_API_VERSION_USED); }

std::string take_message(OrtStatus *status) {
    if (!status) return "<ok>";
    std::string text = api()->GetErrorMessage(status);
    api()->ReleaseStatus(status);
    return text;
}

}  // namespace

TEST(OrtApi, VersionAndTable) {
    EXPECT_STREQ(OrtGetApiBase()->GetVersionString(), "1.22.0");
    ASSERT_NE(api(), nullptr);
}

TEST(OrtApi, StatusRoundTrip) {
    OrtStatus *status = api()->CreateStatus(ORT_FAIL, "scripted failure");
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(api()->GetErrorCode(status), ORT_FAIL);
    EXPECT_STREQ(api()->GetErrorMessage(status), "scripted failure");
    api()->ReleaseStatus(status);
}

TEST(OrtApi, SessionOptionsSlots) {
    OrtSessionOptions *options = nullptr;
    ASSERT_EQ(take_message(api()->CreateSessionOptions(&options)), "<ok>");
    EXPECT_EQ(take_message(api()->SetSessionGraphOptimizationLevel(options, ORT_DISABLE_ALL)), "<ok>");
    EXPECT_EQ(take_message(api()->SetSessionGraphOptimizationLevel(options, static_cast<GraphOptimizationLevel>(3))),
              "graph_optimization_level is not valid");
    EXPECT_EQ(take_message(api()->DisableCpuMemArena(options)), "<ok>");
    EXPECT_EQ(take_message(api()->DisableMemPattern(options)), "<ok>");
    EXPECT_EQ(take_message(api()->DisableProfiling(options)), "<ok>");

    OrtEnv *env = nullptr;
    ASSERT_EQ(take_message(api()->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "test", &env)), "<ok>");
    OrtSession *session = nullptr;
    OrtStatus *status = api()->CreateSession(env, "/nonexistent/dir/missing.onnx", options, &session);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(api()->GetErrorCode(status), 3);  // no such file
    EXPECT_NE(take_message(status).find("File doesn't exist"), std::string::npos);
    EXPECT_EQ(session, nullptr);
    api()->ReleaseSession(nullptr);
    api()->ReleaseSessionOptions(options);
    api()->ReleaseEnv(env);
}

TEST(OrtApi, TensorOverCallerMemory) {
    OrtMemoryInfo *memory = nullptr;
    ASSERT_EQ(take_message(api()->CreateCpuMemoryInfo(OrtArenaAllocator, OrtMemTypeDefault, &memory)), "<ok>");
    float data[6] = {1, 2, 3, 4, 5, 6};
    const int64_t shape[2] = {2, 3};
    OrtValue *value = nullptr;
    ASSERT_EQ(take_message(api()->CreateTensorWithDataAsOrtValue(memory, data, sizeof data, shape, 2,
                                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT, &value)),
              "<ok>");
    void *in_place = nullptr;
    ASSERT_EQ(take_message(api()->GetTensorMutableData(value, &in_place)), "<ok>");
    EXPECT_EQ(in_place, data);  // not copied

    OrtTensorTypeAndShapeInfo *info = nullptr;
    ASSERT_EQ(take_message(api()->GetTensorTypeAndShape(value, &info)), "<ok>");
    ONNXTensorElementDataType type{};
    ASSERT_EQ(take_message(api()->GetTensorElementType(info, &type)), "<ok>");
    EXPECT_EQ(type, ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT);
    size_t dim_count = 0, elements = 0;
    ASSERT_EQ(take_message(api()->GetDimensionsCount(info, &dim_count)), "<ok>");
    ASSERT_EQ(take_message(api()->GetTensorShapeElementCount(info, &elements)), "<ok>");
    EXPECT_EQ(dim_count, 2u);
    EXPECT_EQ(elements, 6u);
    int64_t dims[2] = {0, 0};
    ASSERT_EQ(take_message(api()->GetDimensions(info, dims, 2)), "<ok>");
    EXPECT_EQ(dims[0], 2);
    EXPECT_EQ(dims[1], 3);
    api()->ReleaseTensorTypeAndShapeInfo(info);
    api()->ReleaseValue(value);

    int64_t too_small = 0;
    OrtValue *rejected = nullptr;
    EXPECT_EQ(take_message(api()->CreateTensorWithDataAsOrtValue(memory, &too_small, sizeof too_small, shape, 2,
                                                                 ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64, &rejected)),
              "not enough space: expected 48, got 8");
    api()->ReleaseValue(rejected);
    api()->ReleaseMemoryInfo(memory);
}
