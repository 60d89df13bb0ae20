// The picture load of the image cache on a 24-megapixel JPEG (6000 x 4000;
// 1200 x 800 in quick mode): each stage alone (read, decode, EXIF,
// histogram, thumbnails) and the whole load, beside libjpeg-turbo's own
// tjbench decoding the same file in the same run. Goal: the whole load
// within 1.5x of the decode alone. Then photos per second through the
// "LOAD" thread with 16 queued, beside the same 16 decoded on the calling
// thread.
#include "orvo/core/core_file.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_msgthread.h"
#include "orvo/graphics/graphics_imageservice.h"
#include "support/image/image_writers.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

using namespace orvo;

namespace
{
bool quick()
{
    const char* value = std::getenv("LUMIVANE_BENCH_QUICK");
    return value && *value && std::string(value) != "0";
}

struct Fixture
{
    std::string folder;
    std::string big;                  // the large JPEG, with an EXIF orientation
    std::vector<std::string> queued;  // 16 photos for the thread
    int width = 0;
    int height = 0;
    double whole_seconds = 0; // mean of the whole-load benchmark, for the summary
} fixture;

void discard(const string_t&, void*)
{
}

void write_fixtures()
{
    char pattern[] = "/tmp/lumivane-bench-XXXXXX";
    fixture.folder = mkdtemp(pattern);
    fixture.width = quick() ? 1200 : 6000;
    fixture.height = quick() ? 800 : 4000;
    fixture.big = fixture.folder + "/big.jpg";
    lumivane_test::SaveBytes(fixture.big,
                             lumivane_test::InsertExif(lumivane_test::WriteJpeg(fixture.width, fixture.height, 3, 90),
                                                       lumivane_test::WriteExifOrientation(3, 6)));
    const int side = quick() ? 320 : 1600;
    for (int i = 0; i < 16; ++i)
    {
        fixture.queued.push_back(fixture.folder + "/queued" + std::to_string(i) + ".jpg");
        lumivane_test::SaveBytes(fixture.queued.back(), lumivane_test::WriteJpeg(side + i, side * 2 / 3, 3, 90));
    }
}

void remove_fixtures()
{
    unlink(fixture.big.c_str());
    for (const std::string& path : fixture.queued)
        unlink(path.c_str());
    rmdir(fixture.folder.c_str());
}

// tjbench's decompression throughput of the file in megapixels per second,
// or 0 when it cannot be run.
double tjbench_megapixels(const std::string& path)
{
    const std::string command = "tjbench '" + path + "' -benchtime " + (quick() ? "0.2" : "1") +
                                " -warmup 0 -nowrite 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return 0;
    char line[512];
    double throughput = 0;
    bool decompress = false;
    while (fgets(line, sizeof(line), pipe))
    {
        if (std::string(line).find("Decompress") != std::string::npos)
            decompress = true;
        double value = 0;
        if (decompress && std::sscanf(line, " Throughput: %lf", &value) == 1)
        {
            throughput = value;
            decompress = false;
        }
    }
    pclose(pipe);
    return throughput;
}

// Milliseconds to obtain and first touch a fresh block of the picture grid's
// size: every new picture pays it, tjbench (which reuses its buffer) does not.
double fresh_memory_ms(u64 bytes)
{
    const auto start = std::chrono::steady_clock::now();
    volatile u8* block = static_cast<volatile u8*>(malloc(bytes));
    if (!block)
        return 0;
    for (u64 i = 0; i < bytes; i += 4096)
        block[i] = 1;
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    free(const_cast<u8*>(block));
    return ms;
}

memory_t bytes_of(const filecontents_t& file)
{
    return memory_t{file.buffer.data, file.buffer.num_bytes};
}

void set_pixels(benchmark::State& state)
{
    state.counters["MP/s"] = benchmark::Counter(double(fixture.width) * fixture.height / 1e6,
                                                benchmark::Counter::kIsIterationInvariantRate);
}

void BM_StageRead(benchmark::State& state)
{
    for (auto _ : state)
    {
        filecontents_t file;
        filecontents_initialise(file);
        benchmark::DoNotOptimize(filecontents_load(file, string_make(fixture.big.c_str())));
        filecontents_release(file);
    }
    set_pixels(state);
}

void BM_StageDecode(benchmark::State& state)
{
    filecontents_t file;
    filecontents_initialise(file);
    filecontents_load(file, string_make(fixture.big.c_str()));
    image_codec_t* codec = jpeg_codec_create();
    image_codec_open(codec);
    TextureGrid grid;
    // The first decode also faults in the grid's pages; it is not timed.
    for (bool warm = true; warm; warm = false)
    {
        image_desc_t desc;
        image_codec_read_header(codec, bytes_of(file), desc);
        grid.Initialise(desc.format, desc.width, desc.height);
        pixelbuffer_t target = grid.picture;
        target.size = target.capacity = pixelbuffer_compute_size(target.format, target.row_length, target.height);
        image_codec_decode(codec, target);
    }
    for (auto _ : state)
    {
        image_desc_t desc;
        image_codec_read_header(codec, bytes_of(file), desc);
        grid.Initialise(desc.format, desc.width, desc.height);
        pixelbuffer_t target = grid.picture;
        target.size = target.capacity = pixelbuffer_compute_size(target.format, target.row_length, target.height);
        benchmark::DoNotOptimize(image_codec_decode(codec, target));
    }
    grid.Release();
    image_codec_close(codec);
    image_codec_destroy(codec);
    filecontents_release(file);
    set_pixels(state);
}

// Decoded once; the later stages work on the picture.
struct Decoded
{
    image_manager_t manager;
    image_t* image = nullptr;
    filecontents_t file;

    Decoded()
    {
        image_manager_initialise(manager);
        image_manager_register(manager, jpeg_codec_create);
        filecontents_initialise(file);
        filecontents_load(file, string_make(fixture.big.c_str()));
        image = image_manager_load(manager, string_make(fixture.big.c_str()));
    }
    ~Decoded()
    {
        image_manager_unload(manager, image);
        image_manager_release(manager);
        filecontents_release(file);
    }
};

void BM_StageExif(benchmark::State& state)
{
    Decoded decoded;
    for (auto _ : state)
        benchmark::DoNotOptimize(image_compute_orientation(bytes_of(decoded.file)));
    set_pixels(state);
}

void BM_StageHistogram(benchmark::State& state)
{
    Decoded decoded;
    for (auto _ : state)
        histogram_compute(decoded.image->histogram, decoded.image->picture.picture);
    set_pixels(state);
}

void BM_StageThumbnails(benchmark::State& state)
{
    Decoded decoded;
    for (auto _ : state)
        benchmark::DoNotOptimize(image_create_thumbnails(*decoded.image));
    set_pixels(state);
}

void BM_WholeLoad(benchmark::State& state)
{
    image_manager_t manager;
    image_manager_initialise(manager);
    for (image_codec_factory_t factory : {jpeg_codec_create, raw_codec_create, png_codec_create, tiff_codec_create})
        image_manager_register(manager, factory);
    // One untimed load first, as the decode stage warms up.
    image_manager_unload(manager, image_manager_load(manager, string_make(fixture.big.c_str())));
    double seconds = 0;
    u64 loads = 0;
    for (auto _ : state)
    {
        const auto start = std::chrono::steady_clock::now();
        image_t* image = image_manager_load(manager, string_make(fixture.big.c_str()));
        image_manager_unload(manager, image); // the last reference: the next load decodes again
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        ++loads;
    }
    image_manager_release(manager);
    if (loads)
        fixture.whole_seconds = seconds / double(loads);
    set_pixels(state);
}

// --- 16 photos queued on the "LOAD" thread ------------------------------------------------

struct Queue
{
    msgthread_t thread{};
    image_client_t client{};
    int answered = 0;
    std::vector<image_t*> images;

    static void OnLoad(void* user, int, image_t* image)
    {
        Queue* self = static_cast<Queue*>(user);
        self->images.push_back(image);
        ++self->answered;
    }
    static void OnUnload(void* user, int) { ++static_cast<Queue*>(user)->answered; }

    void PumpUntil(int count)
    {
        while (answered < count)
        {
            distributor_pump(nullptr);
            usleep(200);
        }
    }
} queue;

bool start_queue()
{
    if (!distributor_initialise() || !msgthread_initialise(queue.thread, "LOAD") ||
        !msgthread_add_server(queue.thread, image_server_create()) || !msgthread_start(queue.thread) ||
        !image_client_initialise(queue.client, &queue, &Queue::OnLoad, &Queue::OnUnload))
        return false;
    for (image_codec_factory_t factory : {jpeg_codec_create, raw_codec_create, png_codec_create, tiff_codec_create})
        image_client_register(queue.client, factory);
    while (msgclient_pending(queue.client.client))
    {
        distributor_pump(nullptr);
        usleep(200);
    }
    return true;
}

void stop_queue()
{
    image_client_release(queue.client);
    msgthread_stop(queue.thread, [](void*) { distributor_pump(nullptr); }, nullptr);
    msgthread_release(queue.thread);
    distributor_release();
}

void BM_Queued16ThroughLoadThread(benchmark::State& state)
{
    for (auto _ : state)
    {
        queue.answered = 0;
        queue.images.clear();
        for (const std::string& path : fixture.queued)
            image_client_load(queue.client, string_make(path.c_str()));
        queue.PumpUntil(16);
        for (image_t* image : queue.images)
            image_client_unload(queue.client, image);
        queue.PumpUntil(32);
    }
    state.SetItemsProcessed(state.iterations() * 16);
}

// Reference: the same 16 files read and decoded by the JPEG codec alone.
void BM_Queued16DecodeOnly(benchmark::State& state)
{
    image_codec_t* codec = jpeg_codec_create();
    image_codec_open(codec);
    pixelbuffer_t target = {};
    for (auto _ : state)
        for (const std::string& path : fixture.queued)
        {
            filecontents_t file;
            filecontents_initialise(file);
            filecontents_load(file, string_make(path.c_str()));
            image_desc_t desc;
            if (image_codec_read_header(codec, bytes_of(file), desc) &&
                pixelbuffer_allocate(target, desc.format, desc.width, desc.height))
                benchmark::DoNotOptimize(image_codec_decode(codec, target));
            filecontents_release(file);
        }
    pixelbuffer_release(target);
    image_codec_close(codec);
    image_codec_destroy(codec);
    state.SetItemsProcessed(state.iterations() * 16);
}
} // namespace

BENCHMARK(BM_StageRead)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StageDecode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StageExif)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StageHistogram)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StageThumbnails)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WholeLoad)->Unit(benchmark::kMillisecond);
// Wall time: the work happens on the LOAD thread, not the one measured.
BENCHMARK(BM_Queued16ThroughLoadThread)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Queued16DecodeOnly)->Unit(benchmark::kMillisecond)->UseRealTime();

int main(int argc, char** argv)
{
    log_open();
    log_set_handler(discard, nullptr);
    write_fixtures();
    const double reference = tjbench_megapixels(fixture.big);
    std::printf("reference: tjbench decodes the %dx%d JPEG at %.1f MP/s (%.1f ms)\n", fixture.width,
                fixture.height, reference,
                reference > 0 ? double(fixture.width) * fixture.height / 1e6 / reference * 1000.0 : 0.0);
    {
        TextureGrid grid;
        grid.Initialise(PIXELFORMAT_RGB8, fixture.width, fixture.height);
        std::printf("reference: fresh memory for the picture grid (%.1f MB) first touched in %.1f ms\n",
                    double(grid.padded.size) / 1e6, fresh_memory_ms(grid.padded.size));
        grid.Release();
    }
    if (!start_queue())
    {
        std::fprintf(stderr, "the LOAD thread could not start\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    stop_queue();
    if (reference > 0 && fixture.whole_seconds > 0)
    {
        const double whole_mps = double(fixture.width) * fixture.height / 1e6 / fixture.whole_seconds;
        std::printf("whole load %.1f MP/s beside tjbench decode %.1f MP/s: %.2fx the decode time (goal 1.5x)\n",
                    whole_mps, reference, reference / whole_mps);
    }
    remove_fixtures();
    log_close();
    return 0;
}
