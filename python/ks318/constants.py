"""The library's numbers: notification codes and sizes."""

from __future__ import annotations

import enum

__all__ = [
    "Notification",
    "ANSWER_DISPLAY_TIME",
    "MAX_TERMINALS",
    "FIRST_TERMINAL_ID",
    "FRAME_HEADER_BYTES",
    "VERSION_MAJOR",
    "VERSION_MINOR",
    "VERSION_PATCH",
    "TRANSFER_NONE",
    "TRANSFER_RUNNING",
    "TRANSFER_WHOLE",
    "TRANSFER_FAILED",
    "ADDRESS_BY_NUMBER",
    "ADDRESS_BY_ID",
    "DEFAULT_PORT",
    "PALETTE_BYTES",
    "PIXELS_318",
    "PIXELS_OTHER",
    "SERIAL_DATA_BYTES",
    "CARD_TEXT_BYTES",
    "FILE_NAME_BYTES",
    "UID_TEXT_BYTES",
    "SC_BYTES",
    "MEDIA_ENTRY_BYTES",
    "MEDIA_ENTRIES",
    "GETFILE_MAX_BYTES",
    "HELD_FILES_MAX_BYTES",
    "QUEUED_FRAMES_MAX",
    "PICTURE_MAX_BYTES",
    "PICTURE_MAX_PIXELS",
    "PICTURE_MAX_DECODE_BYTES",
    "METAFILE_MAX_RECORDS",
    "METAFILE_MAX_WORK",
    "ANSWER_NOTIFICATIONS",
    "screen_size",
    "pixel_count",
]


class Notification(enum.IntEnum):
    """Codes of data notifications (the ``wParam`` of a data notification)."""

    CONFIG_SET = 24  #: extra 1 when the terminal accepted the configuration
    CONFIG = 26  #: a configuration record arrived
    UID = 28  #: the unique identifier arrived
    ADV_STOPPED = 45  #: extra: flag
    KEY = 53  #: extra: the key code
    CARD = 69  #: extra: 1 first text present, 2 second text present
    SERIAL0 = 83  #: serial data on port 0
    SERIAL1 = 89  #: serial data on port 1
    FILE = 98  #: extra 1: a file was received and kept; 0: none
    SOFTWARE_UPDATE = 114  #: extra: flag
    ADV_RELOADED = 118  #: extra: flag
    RESTART = 122  #: extra: flag
    SC = 124  #: the SC block arrived
    IMAGE_UPDATE = 148  #: the image-update configuration arrived
    IMAGES_UPDATED = 150
    WIFI_SET = 152  #: extra: flag
    WIFI = 154  #: a wifi record arrived
    SERIAL_STATUS = 161  #: extra: 0 port 0, else port 1
    MEDIA_SHOWN = 167
    SENSOR_SET = 169
    SENSOR = 171  #: also the display-time answer (answer code 42)
    AUDIO_SET = 173
    AUDIO = 175
    VOLUME_SET = 177
    VOLUME = 179
    BRIGHTNESS_SET = 181
    BRIGHTNESS = 183
    MEDIA_DELETED = 185
    INTERNAL_CLEANED = 187
    EXTERNAL_CLEANED = 189


#: Answer code of the display-time answer, notified as Notification.SENSOR.
ANSWER_DISPLAY_TIME = 42

#: Notifications whose answer waits on the answer events (kq_TemResposta).
ANSWER_NOTIFICATIONS = frozenset(
    {
        Notification.MEDIA_SHOWN,
        Notification.SENSOR_SET,
        Notification.SENSOR,
        Notification.AUDIO_SET,
        Notification.AUDIO,
        Notification.VOLUME_SET,
        Notification.VOLUME,
        Notification.BRIGHTNESS_SET,
        Notification.BRIGHTNESS,
        Notification.MEDIA_DELETED,
        Notification.INTERNAL_CLEANED,
        Notification.EXTERNAL_CLEANED,
    }
)

MAX_TERMINALS = 1024
#: Terminal ids start here, above every terminal number, so one is never taken for the other.
FIRST_TERMINAL_ID = 65536
#: kq_addressby's modes: the calling thread's exports take terminal numbers, or ids.
ADDRESS_BY_NUMBER = 0
ADDRESS_BY_ID = 1
#: A command's result when sent is the bytes written: FRAME_HEADER_BYTES + its payload.
FRAME_HEADER_BYTES = 7
#: The package version of the header this package follows; kq_libraryversion() gives the loaded
#: library's as VERSION_MAJOR * 1000000 + VERSION_MINOR * 1000 + VERSION_PATCH.
VERSION_MAJOR = 0
VERSION_MINOR = 1
VERSION_PATCH = 0
#: kq_transferoutcome's results: how a terminal's last kq_sendfileStatus transfer ended.
TRANSFER_NONE = 0
TRANSFER_RUNNING = 1
TRANSFER_WHOLE = 2
TRANSFER_FAILED = 3
DEFAULT_PORT = 16510
PALETTE_BYTES = 768
PIXELS_318 = 76800  # 320 x 240
PIXELS_OTHER = 130560  # 480 x 272
SERIAL_DATA_BYTES = 256
CARD_TEXT_BYTES = 128
FILE_NAME_BYTES = 128
UID_TEXT_BYTES = 32
SC_BYTES = 8
MEDIA_ENTRY_BYTES = 256
MEDIA_ENTRIES = 255
GETFILE_MAX_BYTES = 2400000
HELD_FILES_MAX_BYTES = 67108864  # files waiting for get_file, all terminals together
QUEUED_FRAMES_MAX = 256
PICTURE_MAX_BYTES = 268435456
PICTURE_MAX_PIXELS = 33554432
#: What a picture's decoder may hold besides the file and its pixels (a progressive JPEG's coefficients).
PICTURE_MAX_DECODE_BYTES = 67108864
METAFILE_MAX_RECORDS = 500000
METAFILE_MAX_WORK = 33554432


def screen_size(model: int) -> tuple[int, int]:
    """Width and height of a terminal model's screen: 320 x 240 for model 318,
    480 x 272 for every other model."""
    return (320, 240) if model == 318 else (480, 272)


def pixel_count(model: int) -> int:
    """How many pixel bytes a full-screen image of the model takes."""
    return PIXELS_318 if model == 318 else PIXELS_OTHER
