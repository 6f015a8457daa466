// Our own declaration of ONNX Runtime's table: every named slot is called here
// or by the engine tests, with results that tell neighbouring slots apart.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "ort_api.h"
#include "test_util.h"

namespace {

const OrtApi *api() { return OrtGetApiBase()->GetApi(ORT_API_VERSION_USED); }

std::string take_message(OrtStatus *status) {
    if (!status) return "<ok>";
    std::string text = api()->GetErrorMessage(status);
    api()->ReleaseStatus(status);
    return text;
}

// The session options as ONNX Runtime traces them when a session is made at
// its most verbose level: the value after "name:" for each name asked for.
std::map<std::string, std::string> applied_options(OrtSessionOptions *options, const std::vector<std::string> &names) {
    std::map<std::string, std::string> out;
    EXPECT_EQ(take_message(api()->SetSessionLogSeverityLevel(options, 0)), "<ok>");  // verbose
    OrtEnv *env = nullptr;
    EXPECT_EQ(take_message(api()->CreateEnv(ORT_LOGGING_LEVEL_WARNING, "test", &env)), "<ok>");
    OrtSession *session = nullptr;
    testing::internal::CaptureStderr();
    OrtStatus *status = api()->CreateSession(env, test_voice("probe.onnx").c_str(), options, &session);
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(take_message(status), "<ok>");
    api()->ReleaseSession(session);
    api()->ReleaseEnv(env);
    const size_t start = log.find("Session Options {");
    if (start == std::string::npos) return out;
    const std::string trace = log.substr(start, log.find('\n', start) - start);
    for (const std::string &name : names) {
        size_t at = trace.find(" " + name + ":");
        if (at == std::string::npos) continue;
        at += name.size() + 2;
        out[name] = trace.substr(at, trace.find(' ', at) - at);
    }
    return out;
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

// Each option setter, made in the engine's order, changes the option it is
// named for, and a slot one place off would show: DisableMemPattern at 16 is
// EnableMemPattern, DisableCpuMemArena at 18 EnableCpuMemArena, DisableProfiling
// at 16 turns the memory pattern back on, the optimization level at 22 or 24
// leaves the level at its default.
TEST(OrtApi, SessionOptionsTakeEffect) {
    const std::vector<std::string> names = {"graph_optimization_level", "enable_cpu_mem_arena", "enable_mem_pattern",
                                            "enable_profiling", "session_log_severity_level"};
    OrtSessionOptions *defaults = nullptr;
    ASSERT_EQ(take_message(api()->CreateSessionOptions(&defaults)), "<ok>");
    const std::map<std::string, std::string> before = {{"graph_optimization_level", "3"},  // ORT_ENABLE_ALL, inside
                                                       {"enable_cpu_mem_arena", "1"},
                                                       {"enable_mem_pattern", "1"},
                                                       {"enable_profiling", "0"},
                                                       {"session_log_severity_level", "0"}};
    EXPECT_EQ(applied_options(defaults, names), before);
    api()->ReleaseSessionOptions(defaults);

    OrtSessionOptions *options = nullptr;
    ASSERT_EQ(take_message(api()->CreateSessionOptions(&options)), "<ok>");
    api()->ReleaseStatus(api()->SetSessionGraphOptimizationLevel(options, ORT_DISABLE_ALL));
    api()->ReleaseStatus(api()->DisableCpuMemArena(options));
    api()->ReleaseStatus(api()->DisableMemPattern(options));
    api()->ReleaseStatus(api()->DisableProfiling(options));
    const std::map<std::string, std::string> after = {{"graph_optimization_level", "0"},
                                                      {"enable_cpu_mem_arena", "0"},
                                                      {"enable_mem_pattern", "0"},
                                                      {"enable_profiling", "0"},
                                                      {"session_log_severity_level", "0"}};
    EXPECT_EQ(applied_options(options, names), after);
    api()->ReleaseSessionOptions(options);
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
