#include "app/SnapshotTaker.h"

#include "KvTransportLayerLib/Network/PCAP/LinuxFilter.h"
#include "KvTransportLayerLib/Network/PCAP/PCAPFilter.h"

namespace {

constexpr const char* kExtension = ".pcap";

}  // namespace

void SnapshotTaker::Configure(const std::string& captureFileName, int snapLength,
                              unsigned int capacity) {
    mCaptureFileName = captureFileName;
    mSnapLength = snapLength;
    mRequested.store(0);
    mStarted = 0;
    mPhase = Phase::Idle;
    mToCollect = 0;
    mHeld.SetCapacity(capacity);
    std::lock_guard<std::mutex> lock(mReportsLock);
    mReports.clear();
    mStoredFiles.clear();
}

std::string SnapshotTaker::SnapshotFileName(const std::string& captureFileName, uint32_t number) {
    const size_t length = captureFileName.size();
    const size_t extension = std::char_traits<char>::length(kExtension);
    const bool hasExtension =
        length >= extension &&
        captureFileName.compare(length - extension, extension, kExtension) == 0;
    const std::string stem =
        hasExtension ? captureFileName.substr(0, length - extension) : captureFileName;
    return stem + "-" + std::to_string(number) + kExtension;
}

void SnapshotTaker::Request() {
    mRequested.fetch_add(1);
}

SnapshotTaker::Step SnapshotTaker::Advance(Filter& filter, BufferQueue& recorded,
                                           uint32_t linkType) {
    switch (mPhase) {
        case Phase::Idle:
            if (mRequested.load() == mStarted) {
                return Step::None;
            }
            ++mStarted;
            mDeliveryMark = filter.GetDeliveryMark();
            mDeliveryDeadlineUs = OS_TimeGetUS() + kDeliveryTimeoutUs;
            mPhase = Phase::Delivering;
            return Step::Started;
        case Phase::Delivering:
            if (!filter.HasDelivered(mDeliveryMark) && OS_TimeGetUS() < mDeliveryDeadlineUs) {
                return Step::None;
            }
            mToCollect = filter.CompleteFilledBuffer();
            mPhase = Phase::Collecting;
            [[fallthrough]];
        case Phase::Collecting:
            if (mToCollect == 0) {
                StartWriting(recorded, linkType);
            }
            return mPhase == Phase::Idle ? Step::GaveBack : Step::None;
        case Phase::Writing:
            if (mWriter.IsStoring()) {
                return Step::None;
            }
            EndWriting(recorded);
            return Step::GaveBack;
    }
    return Step::None;
}

void SnapshotTaker::NoteRetrieved() {
    if (mPhase == Phase::Collecting && mToCollect > 0) {
        --mToCollect;
    }
}

// The window is every recorded Buffer, oldest first; it leaves the recorded queue so that the
// sniffer sees only what arrives meanwhile.
void SnapshotTaker::StartWriting(BufferQueue& recorded, uint32_t linkType) {
    for (Buffer* buffer = recorded.Pop(); buffer != nullptr; buffer = recorded.Pop()) {
        mHeld.Push(buffer);
    }
    const std::string fileName = SnapshotFileName(mCaptureFileName, mStarted);
    const ZrUtilsLib::Result started =
        mWriter.StartSnapshot(fileName.c_str(), mSnapLength, &mHeld, linkType);
    mPhase = Phase::Writing;
    if (started.IsFailure() || !mWriter.IsStoring()) {
        EndWriting(recorded);
    }
}

void SnapshotTaker::EndWriting(BufferQueue& recorded) {
    mWriter.WaitForStoreCompletion();
    const ZrUtilsLib::Result outcome = mWriter.GetStoreResult();
    Report report;
    report.fileName = SnapshotFileName(mCaptureFileName, mStarted);
    report.stored = outcome.GetCode() == ZrUtilsLib::OK && mWriter.GetStoredByteCount() > 0;
    report.packets = mWriter.GetStoredPacketCount();
    if (outcome.IsFailure()) {
        report.reason =
            outcome.HasDescription() ? outcome.GetDescription() : outcome.GetCodeString();
    } else if (!report.stored) {
        report.reason = "nothing was recorded yet";
    }
    GiveBack(recorded);
    AddReport(report);
}

// The window goes back in front of what was recorded meanwhile, so the ring stays in order.
void SnapshotTaker::GiveBack(BufferQueue& recorded) {
    for (Buffer* buffer = recorded.Pop(); buffer != nullptr; buffer = recorded.Pop()) {
        mHeld.Push(buffer);
    }
    for (Buffer* buffer = mHeld.Pop(); buffer != nullptr; buffer = mHeld.Pop()) {
        recorded.Push(buffer);
    }
    mPhase = Phase::Idle;
}

// A snapshot that was asked for but not written when the recording ends is said to be so: the
// recording's own file holds its packets.
void SnapshotTaker::Finish(BufferQueue& recorded) {
    if (mPhase == Phase::Writing) {
        EndWriting(recorded);
    } else if (mPhase != Phase::Idle) {
        ReportNotTaken();
    }
    mPhase = Phase::Idle;
    for (const uint32_t requested = mRequested.load(); mStarted != requested;) {
        ++mStarted;
        ReportNotTaken();
    }
}

void SnapshotTaker::ReportNotTaken() {
    Report report;
    report.fileName = SnapshotFileName(mCaptureFileName, mStarted);
    report.reason = "the recording ended first";
    AddReport(report);
}

void SnapshotTaker::AddReport(Report report) {
    std::lock_guard<std::mutex> lock(mReportsLock);
    if (report.stored) {
        mStoredFiles.push_back(report.fileName);
    }
    mReports.push_back(std::move(report));
}

std::vector<SnapshotTaker::Report> SnapshotTaker::TakeReports() {
    std::lock_guard<std::mutex> lock(mReportsLock);
    std::vector<Report> reports;
    reports.swap(mReports);
    return reports;
}

std::vector<std::string> SnapshotTaker::GetStoredFiles() {
    std::lock_guard<std::mutex> lock(mReportsLock);
    return mStoredFiles;
}
