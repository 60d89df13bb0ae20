// The generic PTP extension: the vendor hooks that drive a camera with
// standard PTP operations and properties only (Ricoh and every maker that is
// not recognised), the Fujifilm variant of it, and the pieces the Canon and
// Nikon extensions reuse: the new-object step with its storage-mode rules,
// GetObject and GetPartialObject downloads, deletion, formatting, storage ids,
// the battery, and the quality and storage-mode camera properties. Every hook
// runs with the device lock held; the extension keeps no state of its own
// (Fujifilm's small vendor state lives in the device record).
#pragma once

#include "orvo/camera/mtp_device.h"
#include "orvo/camera/mtp_deviceproperty.h"
#include "orvo/camera/mtp_download.h"

namespace orvo
{
// A streamed download asks for at most this much per GetPartialObject (30 MiB).
const u32 MTP_GENERIC_PARTIAL_CHUNK = 31457280;

// --- vendor entry points (called by the DeviceInfo read, device lock held) -------------
// Protocol 0, the generic hooks (check_battery only when BatteryLevel is
// listed, download_file only when GetPartialObject is) and the camera
// properties of the standard codes.
void mtp_generic_parse_deviceinfo(mtp_device_t& device);
// Protocol 3 and the generic table, with Fujifilm's connect and disconnect and
// without a battery check. New-object and capture-complete events are handled
// as on any PTP camera: a Fujifilm body that reports ObjectAdded must not lose
// the photo because of its maker.
void mtp_fujifilm_parse_deviceinfo(mtp_device_t& device);
// Creates Fujifilm's vendor state (freeing any earlier one); false (logged)
// when it cannot be allocated, which fails the connection.
bool mtp_fujifilm_connect(mtp_device_t& device);
// Frees the vendor state.
void mtp_fujifilm_disconnect(mtp_device_t& device);

// --- hooks ------------------------------------------------------------------------------
// Queues the PTP code of every camera property for reading again on the next
// property refresh; a code already waiting is not queued twice, so the queue
// never grows past the camera properties.
void mtp_generic_poll(mtp_device_t& device);
// CaptureComplete ends a capture in progress; ObjectAdded reads the object's
// ObjectInfo and announces it (mtp_generic_add_object). Others are ignored.
void mtp_generic_handle_event(mtp_device_t& device, mtp_event_t code, u32 parameter);
// InitiateCapture, with live view switched off first when it is on.
bool mtp_generic_capture(mtp_device_t& device);
// GetObject into the task's buffer; false when nothing arrived.
bool mtp_generic_download(mtp_device_t& device, mtp_downloadtask_t& task);
// GetPartialObject chunks into the file of mtp_fopen_photo. Each chunk goes
// on from the bytes that really arrived, so a camera that answers short
// chunks still gives a byte-exact file; a chunk with no bytes ends it.
bool mtp_generic_download_file(mtp_device_t& device, mtp_downloadtask_t& task);
// DeleteObject; a handle of 0xFFFFFFFF (all objects) is refused unsent.
bool mtp_generic_delete(mtp_device_t& device, const mtp_objectinfo_t& object);
// BatteryLevel into the power record: a level above 100 means external power.
void mtp_generic_check_battery(mtp_device_t& device);
// FormatStore for every storage id in turn, stopping at the first failure.
bool mtp_generic_format(mtp_device_t& device);
// FormatStore for one id; an empty slot (low 16 bits zero) counts as done.
bool mtp_generic_format_storage_id(mtp_device_t& device, u32 storage_id);
// GetStorageIDs into ids (replaced); false for an answer shorter than 4 bytes
// or one whose count does not fit its bytes.
bool mtp_generic_get_storage_ids(mtp_device_t& device, vector_t<u32>& ids);

// --- new objects (shared with the vendors) -----------------------------------------------
bool mtp_format_is_jpeg(u32 format);
// Reads GetObjectInfo for the handle and hands the object on: folders and
// scripts are ignored; the add_object callback announces it to the camera
// layer whether or not it is downloaded; it is downloaded when `download` is
// set, or when `jpeg_only` is set and it is a JPEG. False when the ObjectInfo
// could not be read (the object is lost: nothing to announce).
bool mtp_generic_add_object(mtp_device_t& device, u32 handle, bool download, bool jpeg_only);
// Announces an object already described (add_object callback) and, when
// wanted and the device is registered, queues its download task. True when a
// task was queued.
bool mtp_generic_announce_object(mtp_device_t& device, const mtp_objectinfo_t& object, bool download,
                                 bool memory_only);

// --- camera properties -------------------------------------------------------------------
// Quality: ImageSize and CompressionSetting combined. Sizes are named by
// width ("Large", "Medium", "Small", "Medium2", ...); only the largest size
// is offered with compressions that are not JPEG.
bool mtp_generic_get_quality(mtp_device_t& device, mtp_cameraproperty_t& property);
bool mtp_generic_set_quality(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
// Storage mode: "Card", "Disk", "Both", "JPEG", a setting of the program that
// only chooses which new objects are downloaded and deleted.
bool mtp_generic_get_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property);
bool mtp_generic_set_storagemode(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
} // namespace orvo
