// The device record's lifecycle, its two locks, the three transaction wrappers
// with their logging and error accounting, and the health verdict built on the
// counters. Connecting and identification: mtp_device_connect.cpp; user
// operations: mtp_device_operations.cpp.
#include "orvo/camera/mtp_device.h"

#include "orvo/camera/mtp_context.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_propertycodes.h"
#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
static_assert(sizeof(mtp_device_hooks_t) == MTP_DEVICE_NUM_HOOKS * sizeof(void (*)()),
              "the vendor hook table has 30 slots");

namespace
{
// Bytes of a read shown in the Verbose dump; a whole object would flood the log.
const u64 MTP_READ_DUMP_BYTES = 64;

mutex_t* device_create_lock()
{
    void* memory = heap_alloc(sizeof(mutex_t), 0, ORVO_HEAP_TAG);
    if (!memory)
        return nullptr;
    mutex_t* lock = new (memory) mutex_t;
    if (!mutex_initialise(*lock))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to create MTP device lock");
        lock->~mutex_t();
        heap_free(memory, ORVO_HEAP_TAG);
        return nullptr;
    }
    return lock;
}

void device_destroy_lock(mutex_t*& lock)
{
    if (!lock)
        return;
    mutex_release(*lock);
    lock->~mutex_t();
    heap_free(lock, ORVO_HEAP_TAG);
    lock = nullptr;
}

const char* device_serial(const mtp_device_t& device)
{
    return device.deviceinfo.serial_number.str;
}

// Asks the vendor whether a failed transaction is worth a log line; the
// accounting happens inside the hook. Without a hook every failure is logged.
bool device_record_error(mtp_device_t& device, mtp_command_t operation, mtp_response_t response)
{
    if (!device.hooks.record_error)
        return true;
    return device.hooks.record_error(device, operation, response);
}

// The property named by the first parameter, for the two operations that carry one.
const char* device_parameter_property(const mtp_device_t& device, const u32* parameters, u32 num_parameters)
{
    if (!parameters || num_parameters == 0)
        return nullptr;
    return mtp_property_to_cstr(device.protocol, parameters[0]);
}
} // namespace

// --- lifecycle --------------------------------------------------------------------

bool mtp_device_initialise(mtp_device_t& device, mtp_context_t* context, const mtp_device_callbacks_t& callbacks)
{
    device.context = context;
    device.callbacks = callbacks;
    device.user = callbacks.user;
    device.vendor_state = nullptr;
    device.vendor_state_release = nullptr;
    device.last_response = MTP_RESPONSE_OK;
    device.registered = false;
    device.controller_slot = -1;
    device.protocol = MTP_PROTOCOL_GENERIC;
    device.change_flags.store(0, std::memory_order_relaxed);
    device.lock = device_create_lock();
    device.event_lock = device.lock ? device_create_lock() : nullptr;
    if (!device.event_lock)
    {
        device_destroy_lock(device.lock);
        return false;
    }

    mtp_deviceinfo_initialise(device.deviceinfo);
    countdown_clear(device.poll_countdown);
    countdown_clear(device.battery_countdown);
    countdown_clear(device.liveview_check_countdown);
    countdown_clear(device.liveview_frame_countdown);
    countdown_clear(device.video_check_countdown);
    countdown_clear(device.bulb_countdown);
    countdown_clear(device.autofocus_countdown);
    version_initialise(device.liveview.frame_version);
    memorybuffer_initialise(device.liveview.frame);

    vector_initialise(device.property_queue, MTP_DEVICE_QUEUE_CAPACITY, false);
    vector_initialise(device.event_queue, MTP_DEVICE_QUEUE_CAPACITY, false);
    vector_initialise(device.event_work, MTP_DEVICE_QUEUE_CAPACITY, false);
    bool ok = device.property_queue.capacity == MTP_DEVICE_QUEUE_CAPACITY &&
              device.event_queue.capacity == MTP_DEVICE_QUEUE_CAPACITY &&
              device.event_work.capacity == MTP_DEVICE_QUEUE_CAPACITY;
    ok = hashtable_initialise(device.properties, MTP_DEVICE_PROPERTY_BUCKETS) && ok;
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_initialise(device.cameraproperties[type], static_cast<mtp_camerapropertytype_t>(type));
    if (!ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to initialise MTP device record");
        mtp_device_release(device);
        return false;
    }
    mtp_device_clear_state(device);
    return true;
}

void mtp_device_clear_state(mtp_device_t& device)
{
    device.hooks = mtp_device_hooks_t{};
    device.hooks.read_devicepropdesc = mtp_generic_read_devicepropdesc;
    device.hooks.read_devicepropvalue = mtp_generic_read_devicepropvalue;
    device.hooks.write_devicepropvalue = mtp_generic_write_devicepropvalue;
    device.hooks.compute_property_str = mtp_generic_compute_property_str;
    device.hooks.record_error = mtp_generic_record_error;

    device.manufacturer = MTP_MANUFACTURER_UNKNOWN;
    device.model = MTP_MODEL_UNKNOWN;
    device.clock_offset = 0;
    device.fast_poll = false;
    device.poll_period = 0;
    device.video_check_period = MTP_CHECK_PERIOD_VIDEO_MS;
    device.download_rate = 0.0f;
    device.pending_downloads = 0;
    device.minor_errors = 0;
    device.fatal_errors = 0;
    device.zero_length_reads = 0;
    device.size_mismatch_reads = 0;
    device.cards = -1;
    device.files_per_shot = 1;
    device.capture_in_progress = false;
    device.capture_failed = false;
    device.autofocus = mtp_autofocus_t{};
    device.power.source = MTP_POWERSOURCE_UNKNOWN;
    device.power.level = 0;

    // The frame and its version outlive a reset: the driver compares versions.
    mtp_liveview_t& liveview = device.liveview;
    liveview.supported = false;
    liveview.dof_supported = false;
    liveview.on = false;
    liveview.zoomed = false;
    liveview.dof_on = false;
    liveview.requested = false;
    liveview.zoom_requested = false;
    liveview.frames_per_second = MTP_LIVEVIEW_FRAMES_PER_SECOND;
    liveview.movie_frames_per_second = MTP_LIVEVIEW_FRAMES_PER_SECOND;
    liveview.frame_width = 0;
    liveview.frame_height = 0;
    liveview.zoom_area = mtp_rectangle_t{};

    device.video = mtp_video_t{};
    device.bulb = mtp_bulb_t{};
    device.mirrorlockup = mtp_mirrorlockup_t{};
    device.events_by_polling = false;
    device.camera_storage_mode = false;
    device.download = true;
    device.jpeg_only = false;
    device.delete_after_download = false;
    device.host_only = false;
    device.change_flags.store(0, std::memory_order_release);
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_clear(device.cameraproperties[type]);
}

void mtp_device_release(mtp_device_t& device)
{
    for (u32 type = 0; type < MTP_CAMERAPROPERTY_COUNT; ++type)
        mtp_cameraproperty_release(device.cameraproperties[type]);
    for (u64 b = 0; b < device.properties.buckets.count; ++b)
    {
        vector_t<mtp_devicepropdesc_t>& bucket = device.properties.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
            mtp_devicepropdesc_release(bucket.data[i]);
    }
    hashtable_release(device.properties);
    vector_release(device.property_queue);
    vector_release(device.event_queue);
    vector_release(device.event_work);
    memorybuffer_release(device.liveview.frame);
    // The DeviceInfo counts as a user of the shared DeviceInfo cache, so it is
    // released only once: the locks, made first and freed last, mark a record
    // whose DeviceInfo was set up.
    if (device.lock)
        mtp_deviceinfo_release(device.deviceinfo);
    mtp_device_free_vendor_state(device);
    device_destroy_lock(device.event_lock);
    device_destroy_lock(device.lock);
}

void mtp_device_free_vendor_state(mtp_device_t& device)
{
    if (device.vendor_state)
    {
        if (device.vendor_state_release)
            device.vendor_state_release(device.vendor_state);
        else
            heap_free(device.vendor_state, ORVO_HEAP_TAG);
    }
    device.vendor_state = nullptr;
    device.vendor_state_release = nullptr;
}

// --- locks --------------------------------------------------------------------------

void mtp_device_lock(mtp_device_t& device)
{
    mutex_lock(*device.lock);
}

bool mtp_device_try_lock(mtp_device_t& device)
{
    return mutex_try_lock(*device.lock);
}

void mtp_device_unlock(mtp_device_t& device)
{
    mutex_unlock(*device.lock);
}

// --- transactions ------------------------------------------------------------------

mtp_buffer_t& mtp_device_transfer_buffer(mtp_device_t& device)
{
    return device.context->transfer_buffer;
}

bool mtp_device_execute(mtp_device_t& device, mtp_command_t operation, const u32* parameters, u32 num_parameters)
{
    if (!device.callbacks.execute)
        return false;
    mtp_response_t response =
        device.callbacks.execute(device.protocol, operation, parameters, num_parameters, device.callbacks.user);
    device.last_response = response;
    if (response == MTP_RESPONSE_OK)
    {
        log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Sent MTP command to device: %s",
                   mtp_command_to_cstr(device.protocol, operation));
        return true;
    }
    if (device_record_error(device, operation, response))
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP command failed: %s - %s",
                   mtp_command_to_cstr(device.protocol, operation), mtp_response_to_cstr(device.protocol, response));
    return false;
}

bool mtp_device_read(mtp_device_t& device, mtp_buffer_t& buffer, mtp_command_t operation, const u32* parameters,
                     u32 num_parameters)
{
    if (!device.callbacks.read)
        return false;
    // The answer replaces the buffer; a transport that forgets to set the
    // length must not leave the previous answer looking like this one.
    mtp_buffer_clear(buffer);
    mtp_response_t response =
        device.callbacks.read(device.protocol, operation, parameters, num_parameters, buffer, device.callbacks.user);
    device.last_response = response;
    const char* name = mtp_command_to_cstr(device.protocol, operation);
    if (response != MTP_RESPONSE_OK)
    {
        if (device_record_error(device, operation, response))
        {
            const char* property = (operation == MTP_COMMAND_GetDevicePropDesc ||
                                    operation == MTP_COMMAND_GetDevicePropValue)
                                       ? device_parameter_property(device, parameters, num_parameters)
                                       : nullptr;
            if (property)
                log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to execute read command: %s - %s - %s", name,
                           property, mtp_response_to_cstr(device.protocol, response));
            else
                log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to execute read command: %s - %s", name,
                           mtp_response_to_cstr(device.protocol, response));
        }
        return false;
    }
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA, "Retrieved data from device: %s", name);
    if (buffer.length == 0)
    {
        ++device.zero_length_reads;
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Zero sized read from camera: %s - %s", device_serial(device),
                   name);
    }
    if (log_is_enabled(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA) && log_lock(LOGLEVEL_VERBOSE, LOGMODULE_CAMERA))
    {
        log_print("MTP output transfer data:\n");
        if (buffer.data && buffer.length > 0)
            log_print(buffer.data, buffer.length < MTP_READ_DUMP_BYTES ? buffer.length : MTP_READ_DUMP_BYTES);
        log_unlock();
    }
    return true;
}

bool mtp_device_write(mtp_device_t& device, const mtp_buffer_t& buffer, mtp_command_t operation,
                      const u32* parameters, u32 num_parameters)
{
    if (!device.callbacks.write)
        return false;
    mtp_response_t response =
        device.callbacks.write(device.protocol, operation, parameters, num_parameters, buffer, device.callbacks.user);
    device.last_response = response;
    const char* name = mtp_command_to_cstr(device.protocol, operation);
    const char* property = operation == MTP_COMMAND_SetDevicePropValue
                               ? device_parameter_property(device, parameters, num_parameters)
                               : nullptr;
    if (response == MTP_RESPONSE_OK)
    {
        if (property)
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Sent property to device: %s", property);
        else
            log_writef(LOGLEVEL_INFO, LOGMODULE_CAMERA, "Sent command to device: %s", name);
        return true;
    }
    if (device_record_error(device, operation, response))
    {
        if (property)
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to execute write command: %s - %s - %s", name,
                       property, mtp_response_to_cstr(device.protocol, response));
        else
            log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to execute write command: %s - %s", name,
                       mtp_response_to_cstr(device.protocol, response));
    }
    return false;
}

bool mtp_generic_record_error(mtp_device_t& device, mtp_command_t operation, mtp_response_t response)
{
    // Cameras answer a release that cannot focus with General Error: a missed
    // shot, not a broken link, so it must not count towards disconnecting.
    if (operation == MTP_COMMAND_InitiateCapture && response == MTP_RESPONSE_General_Error)
        return false;
    // Cameras list properties they then refuse to describe (Fujifilm bodies
    // do for dozens): a fact about the camera, not a failing link. The
    // property hooks remember the refusal and log it once.
    if ((operation == MTP_COMMAND_GetDevicePropDesc || operation == MTP_COMMAND_GetDevicePropValue) &&
        response == MTP_RESPONSE_DeviceProp_Not_Supported)
        return false;
    ++device.minor_errors;
    if (response == MTP_RESPONSE_General_Error || response == MTP_RESPONSE_Session_Not_Open)
        ++device.fatal_errors;
    return true;
}

// --- health -------------------------------------------------------------------------

bool mtp_device_has_failed(mtp_device_t& device)
{
    mtp_device_lock(device);
    bool failed = device.fatal_errors > 0 || device.zero_length_reads > MTP_MAX_ZERO_LENGTH_READS ||
                  device.size_mismatch_reads > MTP_MAX_SIZE_MISMATCH_READS;
    if (failed)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA,
                   "Communication issues detected for camera: %s - %d fatal, %d minor, %d zero reads, %d mismatch reads",
                   device_serial(device), device.fatal_errors, device.minor_errors, device.zero_length_reads,
                   device.size_mismatch_reads);
    mtp_device_unlock(device);
    return failed;
}
} // namespace orvo
