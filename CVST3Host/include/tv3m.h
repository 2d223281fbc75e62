/*
 * tv3m: a flat C interface over VST3 plug-ins.
 *
 * Conventions shared by every function here:
 *  - Objects are opaque handles. Every function accepts a null handle, does
 *    nothing and returns its failure value.
 *  - Status results are 0 for success and -1 for failure; counts and flags are
 *    0 for a null handle; functions that return a handle return null on failure.
 *  - Text goes into a buffer the caller provides with its size in bytes; a size
 *    below 1 or a null buffer is a failure. Text is NUL-terminated and cut to fit.
 *  - Functions whose failure is worth showing to a user take an error buffer and
 *    its size. On failure they write one short English phrase (lower-case first
 *    letter, no final full stop) cut to fit; on success the buffer is untouched.
 */
#ifndef TV3M_H
#define TV3M_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Modules and their classes ------------------------------------------ */

typedef struct tv3m_module tv3m_module;

typedef struct tv3m_class_info {
    char cid[33];            /* 32 upper-case hex digits of the class id, then NUL */
    char name[128];          /* at most 64 bytes of the plug-in's text, then NUL */
    char vendor[128];        /* at most 64 bytes; empty without IPluginFactory2 */
    char category[128];      /* at most 32 bytes */
    char subCategories[128]; /* "|"-separated, at most 127 bytes; empty without IPluginFactory2 */
} tv3m_class_info;

/* Opens a .vst3 bundle. Its code is loaded once per process and never unloaded;
 * later opens of the same canonical path are served from memory. */
tv3m_module* tv3m_module_open(const char* path, char* error, int32_t errorSize);
int32_t tv3m_module_class_count(tv3m_module* module);
int32_t tv3m_module_class_info(tv3m_module* module, int32_t index, tv3m_class_info* info);
int32_t tv3m_module_vendor(tv3m_module* module, char* buffer, int32_t size);
void tv3m_module_close(tv3m_module* module);

/* ---- Instances ----------------------------------------------------------- */

typedef struct tv3m_plugin tv3m_plugin;

/* Creates an effect (audio in, audio out) or an instrument (notes in, audio out),
 * set up for offline 32-bit processing, active and processing. channels: 1 or 2.
 * A maxBlockSize below 1 means 4096. */
tv3m_plugin* tv3m_plugin_create(const char* path, const char* cid, double sampleRate,
                                int32_t maxBlockSize, int32_t channels,
                                char* error, int32_t errorSize);
tv3m_plugin* tv3m_plugin_create_instrument(const char* path, const char* cid, double sampleRate,
                                           int32_t maxBlockSize, int32_t channels,
                                           char* error, int32_t errorSize);
void tv3m_plugin_destroy(tv3m_plugin* plugin);
/* Channels of the main output; an instrument may come back wider than asked. */
int32_t tv3m_plugin_output_channels(tv3m_plugin* plugin);
int32_t tv3m_plugin_latency(tv3m_plugin* plugin);
int32_t tv3m_plugin_has_audio_input(tv3m_plugin* plugin);
/* 1 when the plug-in announced a new latency (restartComponent with
 * kLatencyChanged, from any of its threads) since the previous call, which
 * clears the note; else 0. The plug-in may report the new value only after
 * tv3m_plugin_restart_processing. */
int32_t tv3m_plugin_take_latency_change(tv3m_plugin* plugin);
/* Stops processing, deactivates and reactivates the component and starts
 * processing again, as VST3 asks of a host after a change of latency. The
 * plug-in may drop what it holds of the audio so far (delay lines, tails).
 * -1 when the plug-in refuses to become active again; the instance then
 * refuses every block. */
int32_t tv3m_plugin_restart_processing(tv3m_plugin* plugin);

/* ---- Processing ---------------------------------------------------------- */

typedef struct tv3m_note_event {
    int32_t sampleOffset; /* frame within the block */
    int32_t kind;         /* 0: note-on; anything else: note-off */
    int32_t pitch;        /* MIDI note number */
    float velocity;       /* 0 to 1 */
} tv3m_note_event;

/* One block through an effect. inputs/outputs: `channels` pointers to `frames`
 * floats each; channels must equal tv3m_plugin_output_channels and frames lie in
 * 1 ... maxBlockSize. Some plug-ins use their input buffers as scratch space. */
int32_t tv3m_plugin_process(tv3m_plugin* plugin, float* const* inputs, float* const* outputs,
                            int32_t channels, int32_t frames);
/* One block of notes into an instrument. Events are sorted by offset (stably)
 * and clamped to the block; the caller's array is not changed. */
int32_t tv3m_plugin_process_events(tv3m_plugin* plugin, float* const* outputs,
                                   int32_t channels, int32_t frames,
                                   const tv3m_note_event* events, int32_t eventCount);
/* Parameter edits that appeared since the previous call, each counted once. */
int32_t tv3m_plugin_take_edit_count(tv3m_plugin* plugin);
/* Parameter edits waiting for the next block (tv3m_param_set, and the
 * controller's performEdit calls): one per parameter. */
int32_t tv3m_plugin_pending_edits(tv3m_plugin* plugin);
/* Hands the waiting parameter edits to the processor without moving its
 * audio: one call of process with 0 samples and no audio buses, carrying only
 * the changes (VST3's parameter flush). The instance's clock does not move, so
 * the next block continues the stream. Answers
 *   0  nothing waited; the plug-in was not called;
 *   1  the plug-in took the edits;
 *   2  the plug-in returned without looking at them (some frameworks skip a
 *      call without samples): they wait again for the next block, counted once;
 *  -1  the plug-in answered an error (edits it looked at are consumed, as with
 *      a failed block), or the instance takes no blocks. */
int32_t tv3m_plugin_flush_parameters(tv3m_plugin* plugin);

/* ---- Parameters ---------------------------------------------------------- */

enum {
    TV3M_PARAM_CAN_AUTOMATE = 1u << 0,
    TV3M_PARAM_READ_ONLY = 1u << 1,
    TV3M_PARAM_BYPASS = 1u << 2
};

typedef struct tv3m_param_info {
    uint32_t id;
    char title[128]; /* UTF-8, NUL-terminated */
    char units[128]; /* UTF-8, NUL-terminated */
    double defaultValue;
    int32_t stepCount; /* 0 for a continuous parameter */
    uint32_t flags;    /* TV3M_PARAM_* */
} tv3m_param_info;

int32_t tv3m_param_count(tv3m_plugin* plugin);
int32_t tv3m_param_info_at(tv3m_plugin* plugin, int32_t index, tv3m_param_info* info);
double tv3m_param_get(tv3m_plugin* plugin, uint32_t id);
/* Clamps to 0...1, sets the controller and queues the value for the next block. */
int32_t tv3m_param_set(tv3m_plugin* plugin, uint32_t id, double value);
int32_t tv3m_param_display(tv3m_plugin* plugin, uint32_t id, double value, char* buffer, int32_t size);

/* ---- State --------------------------------------------------------------- */

/* Two-call protocol: with a null buffer, *size receives the state's size; then
 * call again with a buffer of that capacity. A too-small buffer gives -1 and
 * still sets *size. Each call asks the plug-in afresh. A state the plug-in
 * writes empty is a success with *size 0; -1 with *size untouched means the
 * state could not be read (getState failed, or there is no component, resp.
 * controller). */
int32_t tv3m_state_save(tv3m_plugin* plugin, void* buffer, int32_t capacity, int32_t* size);
/* Restores the component, then hands the same bytes to the controller. */
int32_t tv3m_state_load(tv3m_plugin* plugin, const void* bytes, int32_t size);
int32_t tv3m_controller_state_save(tv3m_plugin* plugin, void* buffer, int32_t capacity, int32_t* size);
int32_t tv3m_controller_state_load(tv3m_plugin* plugin, const void* bytes, int32_t size);

/* ---- Editors ------------------------------------------------------------- */

/* The plug-in's own editor view, attached inside a window of the caller's. On
 * Linux the parent is an X11 window id, passed as (void*)(uintptr_t)xid. All of
 * these, and the plug-in's resize requests, belong to the main thread. */

/* 1 when the controller makes an editor view for this platform. Making it is
 * how that is found out: the view is kept for the open that follows. */
int32_t tv3m_editor_available(tv3m_plugin* plugin);
/* The view's size before it is attached; -1 once attached, or for no size. */
int32_t tv3m_editor_preferred_size(tv3m_plugin* plugin, int32_t* width, int32_t* height);
/* Attaches the view inside `parent` and gives its size (480 by 320 when the
 * plug-in tells none). Opening an attached view does nothing and answers 0. */
int32_t tv3m_editor_open(tv3m_plugin* plugin, void* parent, int32_t* width, int32_t* height,
                         char* error, int32_t errorSize);
/* Detaches and releases the view, and ends the run-loop handlers and timers
 * the plug-in registered; the next open asks the controller for a new view. */
void tv3m_editor_close(tv3m_plugin* plugin);
/* Tells the view its new size (also when it is not attached). */
int32_t tv3m_editor_set_size(tv3m_plugin* plugin, int32_t width, int32_t height);
/* The latest size the view asked for with resizeView, once: 1 when one was
 * taken, 0 when none is waiting. */
int32_t tv3m_editor_take_resize_request(tv3m_plugin* plugin, int32_t* width, int32_t* height);
int32_t tv3m_editor_can_resize(tv3m_plugin* plugin);

/* ---- The host's run loop ------------------------------------------------- */

/* Linux editors have no run loop of their own: they ask the host for one
 * (Steinberg::Linux::IRunLoop) to watch descriptors (their X11 connection) and
 * to run timers. The caller lends its main loop through these functions; every
 * callback must come on the main thread. Ids are never 0; 0 means refused.
 * The three functions are called from any thread (plug-ins register from
 * threads of their own). After cancel(id) the loop begins no call of that id's
 * callback again, even when a call was already due; on the main thread that
 * means none at all. cancel may be called from inside that callback. */
typedef struct tv3m_run_loop {
    void* context;
    uint64_t (*watch_readable)(void* context, int32_t fd, void (*ready)(void* data), void* data);
    uint64_t (*start_timer)(void* context, uint64_t milliseconds, void (*tick)(void* data), void* data);
    void (*cancel)(void* context, uint64_t id);
} tv3m_run_loop;

/* Sets the loop that instances created afterwards offer to their plug-ins
 * (copied; null: none, and the run loop plug-ins are given refuses every
 * registration). Set it before creating instances; an instance keeps the loop
 * it was created with. */
void tv3m_set_run_loop(const tv3m_run_loop* loop);

#ifdef __cplusplus
}
#endif

#endif /* TV3M_H */
