// The camera data surface: its mirror rebuilt from events built here (sparse
// indexes, default slots, the active photo, property names kept or replaced,
// the Synchronise result, routing order, and events it must refuse), and the
// mirror of a real camera processor with the simulated cameras, kept by a
// surface on the test's queue and by one on a message thread of its own.
#include "camera_simulated_fixture.h"

#include <atomic>

using namespace simulated_test;

namespace
{
// Events built with an encoder of the test's own, fed straight to a surface.
struct SurfaceEvents : ::testing::Test
{
    lumivane_test::LogCapture log;
    MessageEncoder encoder;
    CameraDataSurface surface{"Events"};
    std::vector<CameraEvent> routed;

    void SetUp() override { ASSERT_TRUE(encoder.Initialise()); }

    void Begin(i32 type)
    {
        ASSERT_TRUE(encoder.Begin());
        encoder.AddField(CAMERAFIELD_EVENT, type);
    }
    void Deliver() { surface.ReceiveEvent(encoder.End()); }

    camera_t MakeCamera(i32 id, i64 index, const char* name)
    {
        camera_t camera;
        camera_initialise(camera, stringid_t{empty_str});
        camera.id = cameraid_t{id, index};
        camera_text_set(camera.name, string_make(name));
        return camera;
    }
    photo_t MakePhoto(i32 index, const char* name)
    {
        photo_t photo;
        photo_initialise(photo, cameraid_t{0, 0});
        photo.index = index;
        camera_text_set(photo.name, string_make(name));
        photo.sequence = index + 1;
        return photo;
    }

    void Status(std::vector<camera_t> cameras, std::vector<photo_t> photos)
    {
        Begin(CAMERAEVENT_STATUS);
        encoder.AddField(CAMERAFIELD_CAMERAS, cameras.data(), static_cast<u32>(cameras.size()), sizeof(camera_t));
        encoder.AddField(CAMERAFIELD_PHOTOS, photos.data(), static_cast<u32>(photos.size()), sizeof(photo_t));
        Deliver();
        for (camera_t& c : cameras)
            camera_release(c);
        for (photo_t& p : photos)
            photo_release(p);
    }

    void Property(const cameraid_t& camera, CameraProperty::Type type, u64 value, const std::vector<const char*>* names)
    {
        Begin(CAMERAEVENT_PROPERTY_STATUS);
        encoder.AddField(CAMERAFIELD_CAMERA, &camera, 1, sizeof(cameraid_t));
        const u32 t = type;
        encoder.AddField(CAMERAFIELD_PROPERTY_TYPE, &t, 1, 4);
        CameraProperty property;
        std::memset(&property, 0, sizeof(property));
        property.value = value;
        property.supported = true;
        encoder.AddField(CAMERAFIELD_PROPERTY, &property, 1, sizeof(CameraProperty));
        std::vector<stringid_t> ids;
        if (names)
        {
            for (const char* name : *names)
            {
                stringid_t id = {empty_str};
                camera_text_set(id, string_make(name));
                ids.push_back(id);
            }
            std::vector<string_t> views(ids.begin(), ids.end());
            encoder.AddField(CAMERAFIELD_PROPERTY_NAMES, views.data(), static_cast<u32>(views.size()),
                             sizeof(string_t));
        }
        Deliver();
        for (stringid_t& id : ids)
            stringid_release(id);
    }

    std::vector<std::string> Names(u64 camera, CameraProperty::Type type)
    {
        std::vector<std::string> names;
        const camerarange_t& range = surface.GetSettings().data[camera]->GetRange(type);
        for (u64 i = 0; i < range.names.count; ++i)
            names.push_back(Text(range.names.data[i]));
        return names;
    }
};
} // namespace

TEST_F(SurfaceEvents, SparseCameraIndexesLeaveDefaultSlotsWithSettings)
{
    Status({MakeCamera(7, 0, "Left"), MakeCamera(9, 2, "Right")}, {});
    ASSERT_EQ(surface.GetCameras().count, 3u);
    ASSERT_EQ(surface.GetSettings().count, 3u);
    EXPECT_EQ(Text(surface.GetCameras().data[0].name), "Left");
    EXPECT_EQ(Text(surface.GetCameras().data[2].name), "Right");
    const camera_t& gap = surface.GetCameras().data[1];
    EXPECT_EQ(gap.id.id, CAMERAID_NONE);
    EXPECT_EQ(gap.battery, -1.0f);
    EXPECT_EQ(gap.batch_number, 1);
    EXPECT_EQ(gap.liveview_fps, 20);
    EXPECT_EQ(surface.GetSettings().data[1]->GetDevice(), nullptr);

    // A later Status replaces the cameras, and the active camera is none.
    surface.m_activeCamera = cameraid_t{9, 2};
    Status({MakeCamera(9, 0, "Right")}, {});
    ASSERT_EQ(surface.GetCameras().count, 1u);
    EXPECT_EQ(Text(surface.GetCameras().data[0].name), "Right");
    EXPECT_EQ(surface.m_activeCamera.id, CAMERAID_NONE);
}

TEST_F(SurfaceEvents, PhotoStatusFillsDefaultSlotsUpToItsIndex)
{
    photo_t photo = MakePhoto(5, "LVP_6.JPG");
    Begin(CAMERAEVENT_PHOTO_STATUS);
    const i32 index = 5;
    encoder.AddField(CAMERAFIELD_PHOTO, &index, 1, 4);
    encoder.AddField(CAMERAFIELD_PHOTOS, &photo, 1, sizeof(photo_t));
    Deliver();
    photo_release(photo);
    ASSERT_EQ(surface.GetPhotos().count, 6u);
    EXPECT_EQ(Text(surface.GetPhotos().data[5].name), "LVP_6.JPG");
    for (u64 i = 0; i < 5; ++i)
    {
        SCOPED_TRACE(i);
        const photo_t& slot = surface.GetPhotos().data[i];
        EXPECT_EQ(slot.index, -1);
        EXPECT_EQ(slot.owner.id, CAMERAID_NONE);
        EXPECT_TRUE(slot.name_valid);
        EXPECT_FALSE(slot.downloaded);
        EXPECT_EQ(slot.sequence, -1);
        EXPECT_EQ(slot.format, IMAGEFORMAT_UNKNOWN);
    }
}

TEST_F(SurfaceEvents, PhotoTakenMakesTheActivePhotoBeforeItsRecordArrives)
{
    Begin(CAMERAEVENT_PHOTO_TAKEN);
    const i32 index = 3;
    encoder.AddField(CAMERAFIELD_PHOTO, &index, 1, 4);
    encoder.AddField(CAMERAFIELD_SEQUENCE, 4);
    encoder.AddField(CAMERAFIELD_BATCH, 2);
    surface.AddRoute(&routed, [](void* target, const CameraEvent& event) {
        static_cast<std::vector<CameraEvent>*>(target)->push_back(event);
        return false;
    });
    Deliver();
    EXPECT_EQ(surface.m_activePhoto, 3);
    EXPECT_EQ(surface.GetPhotos().count, 0u);
    EXPECT_EQ(surface.GetActivePhoto().index, -1); // the default record stands in
    ASSERT_EQ(routed.size(), 1u);
    EXPECT_EQ(routed[0].type, CAMERAEVENT_PHOTO_TAKEN);
    EXPECT_EQ(routed[0].photo, 3);
    EXPECT_EQ(routed[0].sequence, 4);
    EXPECT_EQ(routed[0].batch, 2);
    EXPECT_EQ(routed[0].camera.id, CAMERAID_NONE);
    EXPECT_EQ(routed[0].text, nullptr);
}

TEST_F(SurfaceEvents, PropertyStatusReplacesNamesOnlyWhenItCarriesThem)
{
    Status({MakeCamera(1, 0, "Only")}, {});
    const cameraid_t camera = {1, 0};
    const std::vector<const char*> first = {"100", "200", "400"};
    Property(camera, CameraProperty::Iso, 1, &first);
    EXPECT_EQ(Names(0, CameraProperty::Iso), (std::vector<std::string>{"100", "200", "400"}));
    EXPECT_EQ(surface.GetSettings().data[0]->GetProperty(CameraProperty::Iso).value, 1u);

    Property(camera, CameraProperty::Iso, 2, nullptr);
    EXPECT_EQ(Names(0, CameraProperty::Iso), (std::vector<std::string>{"100", "200", "400"}));
    EXPECT_EQ(surface.GetSettings().data[0]->GetProperty(CameraProperty::Iso).value, 2u);

    const std::vector<const char*> second = {"Auto"};
    Property(camera, CameraProperty::Iso, 0, &second);
    EXPECT_EQ(Names(0, CameraProperty::Iso), (std::vector<std::string>{"Auto"}));

    // A camera index without settings changes nothing.
    Property(cameraid_t{1, 4}, CameraProperty::Iso, 0, &first);
    EXPECT_EQ(surface.GetSettings().count, 1u);
}

TEST_F(SurfaceEvents, SynchroniseResultAndRoutingOrder)
{
    ASSERT_TRUE(encoder.Begin());
    encoder.AddField(CAMERAFIELD_REQUEST, static_cast<int>(CameraRequest::Synchronise));
    encoder.AddField(CAMERAFIELD_RESULT, false);
    surface.ReceiveResponse(encoder.End());
    EXPECT_FALSE(surface.IsSynchronised());
    ASSERT_TRUE(encoder.Begin());
    encoder.AddField(CAMERAFIELD_REQUEST, static_cast<int>(CameraRequest::Synchronise));
    encoder.AddField(CAMERAFIELD_RESULT, true);
    surface.ReceiveResponse(encoder.End());
    EXPECT_TRUE(surface.IsSynchronised());

    // The lists fill from events whatever the Synchronise result was.
    Status({MakeCamera(1, 0, "A")}, {MakePhoto(0, "P.JPG")});
    EXPECT_EQ(surface.GetCameras().count, 1u);
    EXPECT_EQ(surface.GetPhotos().count, 1u);

    struct Route
    {
        bool take;
        std::vector<std::string> seen;
    };
    Route first{false, {}};
    Route second{true, {}};
    Route third{true, {}};
    auto route = [](void* target, const CameraEvent& event) {
        Route* r = static_cast<Route*>(target);
        r->seen.push_back(event.text ? event.text : "");
        return r->take;
    };
    surface.AddRoute(&first, route);
    surface.AddRoute(&second, route);
    surface.AddRoute(&third, route);
    Begin(CAMERAEVENT_INFORMATION);
    encoder.AddField(CAMERAFIELD_TEXT, "Hello");
    Deliver();
    EXPECT_EQ(first.seen, (std::vector<std::string>{"Hello"}));
    EXPECT_EQ(second.seen, (std::vector<std::string>{"Hello"}));
    EXPECT_TRUE(third.seen.empty());
}

TEST_F(SurfaceEvents, EventsItCannotUseAreIgnored)
{
    int calls = 0;
    surface.AddRoute(&calls, [](void* target, const CameraEvent&) {
        ++*static_cast<int*>(target);
        return true;
    });
    // Only a header: 16 bytes.
    ASSERT_TRUE(encoder.Begin());
    surface.ReceiveEvent(encoder.End());
    // Field 1 of the wrong type.
    ASSERT_TRUE(encoder.Begin());
    encoder.AddField(CAMERAFIELD_EVENT, 1.0f);
    surface.ReceiveEvent(encoder.End());
    EXPECT_EQ(calls, 0);

    // Records naming slots far beyond any real list are refused, not grown to.
    Status({MakeCamera(1, i64(1) << 40, "Far")}, {MakePhoto(1 << 30, "Far.JPG")});
    EXPECT_EQ(surface.GetCameras().count, 0u);
    EXPECT_EQ(surface.GetPhotos().count, 0u);
    EXPECT_TRUE(log.Contains("camera index refused"));
    EXPECT_TRUE(log.Contains("photo index refused"));
    // A camera list of the wrong element size counts as absent.
    Begin(CAMERAEVENT_STATUS);
    const u8 junk[10] = {};
    encoder.AddField(CAMERAFIELD_CAMERAS, junk, 1, sizeof(junk));
    Deliver();
    EXPECT_EQ(surface.GetCameras().count, 0u);
    EXPECT_EQ(calls, 2);

    // Release twice is safe.
    surface.Release();
    surface.Release();
}

namespace
{
// A surface that starts itself on the message thread that owns it.
struct ThreadSurface : CameraDataSurface
{
    ThreadSurface() : CameraDataSurface("Thread surface") {}
    bool ProcessorInitialise() override { return Initialise(); }
    void ReceiveEvent(const Message& message) override
    {
        CameraDataSurface::ReceiveEvent(message);
        string_t text;
        if (camerarequest_get_text(message, CAMERAFIELD_TEXT, text) && string_equal(text, string_make("Synchronised")))
            ++synchronised_events;
    }
    // Read by the test thread to know how far this thread has come.
    std::atomic<int> synchronised_events{0};
};

void ExpectSameRecords(const CameraDataSurface& a, const CameraDataSurface& b)
{
    ASSERT_EQ(a.GetCameras().count, b.GetCameras().count);
    ASSERT_EQ(a.GetPhotos().count, b.GetPhotos().count);
    // Byte for byte: the texts are the same interned entries.
    for (u64 i = 0; i < a.GetCameras().count; ++i)
        EXPECT_EQ(std::memcmp(&a.GetCameras().data[i], &b.GetCameras().data[i], sizeof(camera_t)), 0) << i;
    for (u64 i = 0; i < a.GetPhotos().count; ++i)
        EXPECT_EQ(std::memcmp(&a.GetPhotos().data[i], &b.GetPhotos().data[i], sizeof(photo_t)), 0) << i;
    for (u64 c = 0; c < a.GetSettings().count; ++c)
        for (u32 t = 0; t < CameraProperty::NumProperties; ++t)
        {
            const CameraProperty::Type type = static_cast<CameraProperty::Type>(t);
            const CameraSettings& x = *a.GetSettings().data[c];
            const CameraSettings& y = *b.GetSettings().data[c];
            EXPECT_EQ(x.GetProperty(type).value, y.GetProperty(type).value);
            ASSERT_EQ(x.GetRange(type).names.count, y.GetRange(type).names.count);
            for (u64 n = 0; n < x.GetRange(type).names.count; ++n)
                EXPECT_EQ(x.GetRange(type).names.data[n].str, y.GetRange(type).names.data[n].str);
        }
}
} // namespace

TEST_F(SimulatedCameras, SurfacesMirrorTheProcessorAlsoOnAMessageThreadOfTheirOwn)
{
    ASSERT_TRUE(StartConnected());
    MessageThread other;
    ThreadSurface* mirror = new ThreadSurface();
    other.Add(mirror);
    ASSERT_TRUE(other.Start("SURFACE", nullptr, nullptr));

    ASSERT_TRUE(SetProperty(1, CameraProperty::Aperture, "5.5"));
    ASSERT_TRUE(TakePhoto(1));
    ASSERT_TRUE(TakePhoto(3));
    ASSERT_TRUE(Request(Builder(Camera(2)).SetName(string_make("Back"), string_make("Rig"), string_make("2")))
                    .Bool(CAMERAFIELD_RESULT));
    ASSERT_TRUE(Request(Builder(Camera(0), false, 0).Delete()).Bool(CAMERAFIELD_RESULT));
    // A Synchronise brings the new name; its Status is what the processor holds.
    ASSERT_TRUE(Simple(CameraRequest::Synchronise).Bool(CAMERAFIELD_RESULT));

    // The processor's own records, as its last Status carried them.
    const Seen* status = nullptr;
    for (const Seen& e : client->events)
        if (e.Int(CAMERAFIELD_EVENT) == CAMERAEVENT_STATUS)
            status = &e;
    ASSERT_NE(status, nullptr);
    const void* data = nullptr;
    u32 count = 0;
    ASSERT_TRUE(camerarequest_get_data(status->View(), CAMERAFIELD_CAMERAS, sizeof(camera_t), data, count));
    ASSERT_EQ(count, surface->GetCameras().count);
    for (u32 i = 0; i < count; ++i)
        EXPECT_EQ(std::memcmp(static_cast<const u8*>(data) + i * sizeof(camera_t), &surface->GetCameras().data[i],
                              sizeof(camera_t)),
                  0)
            << i;
    ASSERT_TRUE(camerarequest_get_data(status->View(), CAMERAFIELD_PHOTOS, sizeof(photo_t), data, count));
    ASSERT_EQ(count, 2u);
    ASSERT_EQ(count, surface->GetPhotos().count);
    for (u32 i = 0; i < count; ++i)
        EXPECT_EQ(std::memcmp(static_cast<const u8*>(data) + i * sizeof(photo_t), &surface->GetPhotos().data[i],
                              sizeof(photo_t)),
                  0)
            << i;
    EXPECT_TRUE(Photo(0).deleted);
    EXPECT_EQ(Text(CameraRecord(2).name), "Back");
    EXPECT_EQ(ValueName(1, CameraProperty::Aperture), "5.5");

    // The surface on the other thread saw the same events: once it has
    // stopped, its mirror equals this one.
    ASSERT_TRUE(Simple(CameraRequest::Synchronise).Bool(CAMERAFIELD_RESULT));
    // Its own Synchronise and the two sent here.
    ASSERT_TRUE(PumpUntil([&] { return mirror->synchronised_events.load() >= 3; }));
    other.Stop(nullptr, nullptr);
    EXPECT_TRUE(mirror->IsSynchronised());
    ExpectSameRecords(*surface, *mirror);
}
