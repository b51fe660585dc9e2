// Running the analysis with either kind of scan terms, whatever the window would choose, and for
// the means or the statistics alone.
#pragma once

#include "box_scan.hpp"
#include "focus_map.hpp"
#include "pipeline.hpp"

#include <string>

namespace dofmap::testing {

using detail::ScanTerms;

// Both kinds of terms a scan can sum.
constexpr ScanTerms kBothTerms[] = {ScanTerms::floatRoots, ScanTerms::fixedPoint};

inline std::string nameOf(ScanTerms terms)
{
    return terms == ScanTerms::fixedPoint ? "fixed-point scan" : "single-precision scan";
}

inline FocusAnalysis analyzeWith(ScanTerms terms, const cv::Mat& source, const cv::Mat& blurred, int window,
                                 const FocusRequest& request)
{
    FocusAnalysis result;
    detail::analyze(detail::BoxScan(source, blurred, window, terms), request, result);
    return result;
}

// The ways a map is computed: both kinds of terms from two scans, and the single-precision roots
// from one scan through the table of float means.
struct MapWay {
    ScanTerms terms;
    bool oneScan;
};
constexpr MapWay kMapWays[] = {
    {ScanTerms::floatRoots, false}, {ScanTerms::floatRoots, true}, {ScanTerms::fixedPoint, false}};

inline std::string nameOf(const MapWay& way)
{
    return nameOf(way.terms) + (way.oneScan ? " in one scan" : "");
}

inline FocusAnalysis analyzeWith(const MapWay& way, const cv::Mat& source, const cv::Mat& blurred, int window,
                                 FocusRequest request)
{
    request.oneScan = way.oneScan;
    return analyzeWith(way.terms, source, blurred, window, request);
}

// A request for the map alone, with `channels` channels.
inline FocusRequest mapRequest(int channels = 3)
{
    FocusRequest request;
    request.mapChannels = channels;
    return request;
}

// The table of means alone, of `depth` CV_64F or CV_32F.
inline cv::Mat meansOf(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow, int depth = CV_64F)
{
    FocusRequest request;
    request.mapChannels = 0;
    request.meansDepth = depth;
    return analyzeFocus(source, blurred, window, request).means;
}

// The statistics alone.
inline MeanStatistics statisticsOf(const cv::Mat& source, const cv::Mat& blurred, int window = kWindow)
{
    FocusRequest request;
    request.mapChannels = 0;
    request.statistics = true;
    return analyzeFocus(source, blurred, window, request).statistics;
}

}  // namespace dofmap::testing
