// doctor's view of this machine: the service's registration and state through the SCM, the
// published port, this process's account, and the files beside the Helper.
#pragma once

#include "client/doctor.hpp"
#include "win/handles.hpp"

namespace drovane::client {

class WindowsInstallation final : public Installation {
  public:
    Result<std::optional<ServiceRegistration>> registration() override;
    Result<RecoverySetting> recovery() override;
    Result<std::string> service_state() override;
    Result<unsigned> published_port() override;
    helper_client::Call<unsigned> prove_helper() override;
    Result<std::string> user_sid() override;
    bool elevated() override;
    std::string own_directory() override;
    bool file_exists(const std::string& path) override;
    Result<std::string> file_sha256(const std::string& path) override;
    Result<std::vector<WriteGrant>> untrusted_write_grants(const std::string& path) override;

  private:
    // The service opened for queries; null until registration() finds it.
    Result<SC_HANDLE> service();
    win::unique_service manager_;
    win::unique_service service_;
};

}  // namespace drovane::client
