#include "LookAheadReader.h"

#include "../hookedins/HookedInsUnit.h"

#include <windows.h>

#include <atomic>
#include <mutex>
#include <set>

namespace {

// The thread's end at shut-down is waited for this long; a reader stuck in a plug-in's call is
// left to come back on its own.
constexpr DWORD kQuitWaitMs = 2000;

} // namespace

// Shared by the playback thread and the look-ahead's thread, which keeps it alive as long as it
// runs: every field under `lock` but the two atomics.
struct TLookAheadReader::TShared {
    std::mutex lock;
    HANDLE work = nullptr; // auto-reset: something to do, or the end
    // Playback: moved on by every Begin and Forget; the reader drops what an older one asked.
    unsigned generation = 0;
    bool quit = false; // playback, at the end
    // The work asked for and not yet begun (playback writes, the reader takes).
    std::optional<TEndScanJob> endJob;
    std::optional<TStartScanJob> startJob;
    std::optional<TPrepareJob> prepareJob;
    // The answers (the reader writes, playback reads and takes).
    State endState = State::NotAsked;
    std::optional<TTrackEnd> end;
    State startState = State::NotAsked;
    std::optional<TTrackStart> start;
    State prepareState = State::NotAsked;
    std::wstring prepareName;
    TPreLoadPtr prepared;
    // Plug-ins that faulted in a look-ahead call (the reader adds).
    std::set<const THookedInPlugin *> faulted;
    // Given to the reader's getData: playback sets it to interrupt a read of an older generation.
    std::atomic<int> kill{0};
    std::function<void()> notify; // set before the thread starts

    ~TShared() {
        if (work)
            CloseHandle(work);
    }
    void Run();
    bool IsOff(const THookedInPlugin *plugin) const { return faulted.count(plugin) != 0; }
    bool Off(const THookedInPlugin *plugin) {
        std::lock_guard guard(lock);
        return IsOff(plugin);
    }
    bool Current(unsigned asked) {
        std::lock_guard guard(lock);
        return asked == generation && !quit;
    }
    template <class Job, class Answer>
    void RunScan(const Job &job, unsigned asked,
                 std::optional<Answer> (*scan)(const Job &, TScanContext &),
                 std::optional<Answer> &answer, State &state);
    void RunPrepare(TPrepareJob job, unsigned asked);
    TScanContext ContextFor(unsigned asked) {
        TScanContext context;
        context.KillSwitch = reinterpret_cast<int *>(&kill);
        context.Cancelled = [this, asked] { return !Current(asked); };
        return context;
    }
    void Notify() {
        if (notify)
            notify();
    }
    void NoteFault(const TScanContext &context, const THookedInPlugin *plugin) {
        if (context.Faulted && plugin) {
            std::lock_guard guard(lock);
            faulted.insert(plugin);
        }
    }
};

static_assert(sizeof(std::atomic<int>) == sizeof(int) && std::atomic<int>::is_always_lock_free,
              "a kill switch is handed to plug-ins as a plain int");

TLookAheadReader::TLookAheadReader() : shared_(std::make_shared<TShared>()) {
    shared_->work = CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

TLookAheadReader::~TLookAheadReader() {
    {
        std::lock_guard guard(shared_->lock);
        shared_->quit = true;
        ++shared_->generation;
    }
    shared_->kill = 1;
    SetEvent(shared_->work);
    if (!thread_)
        return;
    WaitForSingleObject(thread_, kQuitWaitMs);
    CloseHandle(thread_);
}

// The thread holds the shared state and keeps the plug-in's code loaded until it returns.
struct TThreadStart {
    std::shared_ptr<void> Keep;
    HMODULE Pinned = nullptr;
};

unsigned long __stdcall TLookAheadReader::ThreadEntry(void *start) {
    std::unique_ptr<TThreadStart> owned(static_cast<TThreadStart *>(start));
    HMODULE pinned = owned->Pinned;
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    try {
        static_cast<TShared *>(owned->Keep.get())->Run();
    } catch (...) {
    }
    owned.reset();
    if (pinned)
        FreeLibraryAndExitThread(pinned, 0);
    return 0;
}

void TLookAheadReader::EnsureThread() {
    if (thread_ || !shared_->work)
        return;
    auto start = std::make_unique<TThreadStart>();
    start->Keep = shared_;
    HMODULE self = nullptr;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                           reinterpret_cast<LPCSTR>(&TLookAheadReader::ThreadEntry), &self)) {
        if (self == GetModuleHandleA(nullptr))
            FreeLibrary(self); // linked into the program itself: nothing to keep
        else
            start->Pinned = self;
    }
    HMODULE pinned = start->Pinned;
    thread_ = CreateThread(nullptr, 0, &TLookAheadReader::ThreadEntry, start.get(), 0, nullptr);
    if (thread_)
        start.release();
    else if (pinned)
        FreeLibrary(pinned);
}

void TLookAheadReader::OnAnswer(std::function<void()> notify) {
    shared_->notify = std::move(notify);
}

void TLookAheadReader::Begin(std::optional<TEndScanJob> end, std::optional<TStartScanJob> start,
                             std::optional<TPrepareJob> prepare) {
    TPreLoadPtr dropped;
    {
        std::lock_guard guard(shared_->lock);
        ++shared_->generation;
        if (end && shared_->IsOff(end->Plugin))
            end.reset();
        if (start && shared_->IsOff(start->Plugin))
            start.reset();
        shared_->endState = end ? State::Pending : State::NotAsked;
        shared_->startState = start ? State::Pending : State::NotAsked;
        shared_->prepareState = prepare ? State::Pending : State::NotAsked;
        shared_->prepareName = prepare ? prepare->FileName : std::wstring();
        shared_->end.reset();
        shared_->start.reset();
        dropped = std::move(shared_->prepared);
        shared_->endJob = std::move(end);
        shared_->startJob = std::move(start);
        shared_->prepareJob = std::move(prepare);
    }
    shared_->kill = 1;
    FreePreLoad(std::move(dropped));
    EnsureThread();
    SetEvent(shared_->work);
}

void TLookAheadReader::Prepare(TPrepareJob job) {
    TPreLoadPtr dropped;
    {
        std::lock_guard guard(shared_->lock);
        if (shared_->prepareState != State::NotAsked && shared_->prepareName == job.FileName)
            return;
        // Only the open under way belongs to the older entry: the generation keeps the scans.
        dropped = std::move(shared_->prepared);
        shared_->prepareState = State::Pending;
        shared_->prepareName = job.FileName;
        shared_->prepareJob = std::move(job);
    }
    FreePreLoad(std::move(dropped));
    EnsureThread();
    SetEvent(shared_->work);
}

void TLookAheadReader::Forget() {
    Begin(std::nullopt, std::nullopt, std::nullopt);
}

TLookAheadReader::State TLookAheadReader::EndState() const {
    std::lock_guard guard(shared_->lock);
    return shared_->endState;
}

std::optional<TTrackEnd> TLookAheadReader::End() const {
    std::lock_guard guard(shared_->lock);
    return shared_->end;
}

TLookAheadReader::State TLookAheadReader::StartState() const {
    std::lock_guard guard(shared_->lock);
    return shared_->startState;
}

std::optional<TTrackStart> TLookAheadReader::Start() const {
    std::lock_guard guard(shared_->lock);
    return shared_->start;
}

TLookAheadReader::State TLookAheadReader::PreparedState(const std::wstring &fileName) const {
    std::lock_guard guard(shared_->lock);
    return shared_->prepareName == fileName ? shared_->prepareState : State::NotAsked;
}

TPreLoadPtr TLookAheadReader::TakePrepared(const std::wstring &fileName) {
    std::lock_guard guard(shared_->lock);
    if (shared_->prepareState != State::Ready || shared_->prepareName != fileName)
        return nullptr;
    shared_->prepareState = State::NotAsked;
    shared_->prepareName.clear();
    TPreLoadPtr record = std::move(shared_->prepared);
    if (record)
        record->Decoder.GuardsOwner = true;
    return record;
}

bool TLookAheadReader::Withdraw(const std::wstring &fileName) {
    std::lock_guard guard(shared_->lock);
    if (!shared_->prepareJob || shared_->prepareJob->FileName != fileName)
        return false;
    shared_->prepareJob.reset();
    shared_->prepareState = State::NotAsked;
    shared_->prepareName.clear();
    return true;
}

bool TLookAheadReader::IsOffFor(const THookedInPlugin *plugin) const {
    std::lock_guard guard(shared_->lock);
    return shared_->IsOff(plugin);
}

// One piece of work at a time: the next entry's decoder first (the transition cannot be without
// it), then the playing track's end and the next entry's start.
void TLookAheadReader::TShared::Run() {
    for (;;) {
        WaitForSingleObject(work, INFINITE);
        for (;;) {
            std::optional<TEndScanJob> endScan;
            std::optional<TStartScanJob> startScan;
            std::optional<TPrepareJob> prepare;
            unsigned asked = 0;
            {
                std::lock_guard guard(lock);
                if (quit)
                    return;
                asked = generation;
                if (prepareJob)
                    prepare = std::exchange(prepareJob, std::nullopt);
                else if (endJob)
                    endScan = std::exchange(endJob, std::nullopt);
                else if (startJob)
                    startScan = std::exchange(startJob, std::nullopt);
                else
                    break;
                kill = 0;
            }
            // An open is quick, and the block loop waits for it; a scan reads for long, and only
            // what the machine has to spare.
            SetThreadPriority(GetCurrentThread(),
                              prepare ? THREAD_PRIORITY_NORMAL : THREAD_PRIORITY_BELOW_NORMAL);
            if (prepare)
                RunPrepare(std::move(*prepare), asked);
            else if (endScan)
                RunScan(*endScan, asked, &ScanTrackEnd, end, endState);
            else
                RunScan(*startScan, asked, &ScanTrackStart, start, startState);
        }
    }
}

// A scan's answer, kept only where nothing newer was asked meanwhile.
template <class Job, class Answer>
void TLookAheadReader::TShared::RunScan(
    const Job &job, unsigned asked, std::optional<Answer> (*scan)(const Job &, TScanContext &),
    std::optional<Answer> &answer, State &state) {
    TScanContext context = ContextFor(asked);
    std::optional<Answer> found = scan(job, context);
    NoteFault(context, job.Plugin);
    {
        std::lock_guard guard(lock);
        if (asked != generation)
            return;
        answer = found;
        state = State::Ready;
    }
    Notify();
}

// The open of the entry the engine is to play: a fault of it is the look-ahead's, and the entry
// is then one the engine does not prepare.
void TLookAheadReader::TShared::RunPrepare(TPrepareJob job, unsigned asked) {
    bool faultedOpen = false;
    TDecoderOpenOptions options;
    options.GuardsOwner = false;
    options.Faulted = &faultedOpen;
    options.PresetSize = job.LengthMs;
    options.KnownLengthMs = job.LengthMs;
    TPreLoadPtr record;
    if (job.Plugin && !Off(job.Plugin)) {
        if (auto decoder = OpenDecoder(*job.Plugin, job.FileName, options)) {
            record = std::make_unique<TInPluginPlaybackThreadPreLoad>();
            record->FileName = job.FileName;
            record->Decoder = std::move(*decoder);
        }
    }
    TPreLoadPtr dropped;
    {
        std::lock_guard guard(lock);
        if (faultedOpen && job.Plugin)
            faulted.insert(job.Plugin);
        if (asked == generation && prepareName == job.FileName && prepareState == State::Pending) {
            prepared = std::move(record);
            prepareState = State::Ready;
        } else {
            dropped = std::move(record);
        }
    }
    FreePreLoad(std::move(dropped));
    Notify();
}
