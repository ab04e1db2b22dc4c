// Summary information through libgsf, where there is no Windows Installer.
#include "tools/PatchSummary.h"

#include "tools/TextEncoding.h"

#include <gsf/gsf.h>

#include <memory>

namespace corvantile::pack {

namespace {

struct ObjectRelease {
    void operator()(gpointer object) const { g_object_unref(object); }
};
template <typename T>
using GObjectPtr = std::unique_ptr<T, ObjectRelease>;

struct ErrorRelease {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorPtr = std::unique_ptr<GError, ErrorRelease>;

// libgsf names PID_TEMPLATE and PID_REVNUMBER by their document-metadata meaning.
std::optional<std::u16string> TextProperty(GsfDocMetaData* metadata, const char* name) {
    GsfDocProp* property = gsf_doc_meta_data_lookup(metadata, name);
    if (property == nullptr) return std::nullopt;
    const GValue* value = gsf_doc_prop_get_val(property);
    if (value == nullptr || !G_VALUE_HOLDS_STRING(value) || g_value_get_string(value) == nullptr) return std::nullopt;
    return Utf16FromUtf8(g_value_get_string(value));
}

}  // namespace

SummaryRead ReadSummaryFacts(const std::filesystem::path& path, SummaryFacts& facts) {
    GError* rawError = nullptr;
    const GObjectPtr<GsfInput> input(gsf_input_stdio_new(path.c_str(), &rawError));
    ErrorPtr openError(rawError);
    if (!input) return SummaryRead::DamagedStorage;
    const GObjectPtr<GsfInfile> storage(gsf_infile_msole_new(input.get(), &rawError));
    ErrorPtr storageError(rawError);
    if (!storage) return SummaryRead::DamagedStorage;
    ClassId classId{};
    if (!gsf_infile_msole_get_class_id(GSF_INFILE_MSOLE(storage.get()), classId.data())) {
        return SummaryRead::DamagedStorage;
    }
    facts = SummaryFacts{StorageKindOf(classId), std::nullopt, std::nullopt};
    if (facts.kind != StorageKind::Patch) return SummaryRead::Read;

    const GObjectPtr<GsfInput> stream(gsf_infile_child_by_name(storage.get(), "\005SummaryInformation"));
    if (!stream) return SummaryRead::Read;
    const GObjectPtr<GsfDocMetaData> metadata(gsf_doc_meta_data_new());
    // The Installer reads summary information it cannot parse as none at all; so does the tool.
    if (ErrorPtr readError(gsf_doc_meta_data_read_from_msole(metadata.get(), stream.get())); readError) {
        return SummaryRead::Read;
    }
    facts.targets = TextProperty(metadata.get(), GSF_META_NAME_TEMPLATE);
    facts.revisionNumber = TextProperty(metadata.get(), GSF_META_NAME_REVISION_COUNT);
    return SummaryRead::Read;
}

}  // namespace corvantile::pack
