// Connection points (sink list and cookies) and the snapshot enumerators.
#include "ServerTestSupport.h"
#include "opc/server/Enumerators.h"

namespace opc::test {
namespace {

using ConnectionPoints = ModuleFixture;

ComPtr<IConnectionPoint> ShutdownPoint(IOPCServer* server) {
    ComPtr<IConnectionPointContainer> container;
    EXPECT_EQ(server->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(container.GetAddressOf())),
              S_OK);
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, point.GetAddressOf()), S_OK);
    return point;
}

TEST_F(ConnectionPoints, CookiesAreSlotNumbersAndAreGivenOutAgain) {
    auto server = NewServer();
    auto point = ShutdownPoint(server.Get());
    auto sink = MakeSink();
    IUnknown* unk = static_cast<IOPCShutdown*>(sink.Get());
    DWORD c1 = 0, c2 = 0, c3 = 0, c4 = 0;
    ASSERT_EQ(point->Advise(unk, &c1), S_OK);
    ASSERT_EQ(point->Advise(unk, &c2), S_OK);
    EXPECT_EQ(c1, 1u);
    EXPECT_EQ(c2, 2u);
    EXPECT_EQ(point->Unadvise(1), S_OK);
    ASSERT_EQ(point->Advise(unk, &c3), S_OK);
    EXPECT_EQ(c3, 1u);
    // Growing past the first slots keeps the numbering.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(point->Advise(unk, &c4), S_OK);
    EXPECT_EQ(c4, 7u);
    for (DWORD bad : {0u, 8u, 1000u}) EXPECT_EQ(point->Unadvise(bad), CONNECT_E_NOCONNECTION) << bad;
    EXPECT_EQ(point->Unadvise(7), S_OK);
    EXPECT_EQ(point->Unadvise(7), CONNECT_E_NOCONNECTION);

    ComPtr<IEnumConnections> connections;
    ASSERT_EQ(point->EnumConnections(connections.GetAddressOf()), S_OK);
    CONNECTDATA data[8] = {};
    ULONG fetched = 0;
    EXPECT_EQ(connections->Next(8, data, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 6u);
    EXPECT_EQ(data[0].dwCookie, 1u);
    EXPECT_EQ(data[1].dwCookie, 2u);
    EXPECT_EQ(data[5].dwCookie, 6u);
    for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();
}

TEST_F(ConnectionPoints, AdviseChecksTheSinkAndItsArguments) {
    auto server = NewServer();
    auto point = ShutdownPoint(server.Get());
    auto plain = ::opc::com::MakeComObject<PlainObject>();
    DWORD cookie = 5;
    EXPECT_EQ(point->Advise(static_cast<IUnknown*>(plain.Get()), &cookie), CONNECT_E_CANNOTCONNECT);
    EXPECT_EQ(cookie, 0u);
    EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
    auto sink = MakeSink();
    EXPECT_EQ(point->Advise(static_cast<IOPCShutdown*>(sink.Get()), nullptr), E_POINTER);
    ComPtr<IConnectionPoint> none;
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(point->GetConnectionPointContainer(container.GetAddressOf()), S_OK);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCDataCallback, none.GetAddressOf()), CONNECT_E_NOCONNECTION);
    EXPECT_EQ(container->FindConnectionPoint(IID_IOPCShutdown, nullptr), E_POINTER);
    IID iid{};
    ASSERT_EQ(point->GetConnectionInterface(&iid), S_OK);
    EXPECT_TRUE(InlineIsEqualGUID(iid, IID_IOPCShutdown));
    // The point answers for itself only as IConnectionPoint and IUnknown.
    ComPtr<IUnknown> unk;
    EXPECT_EQ(point->QueryInterface(IID_IOPCServer, reinterpret_cast<void**>(unk.GetAddressOf())), E_NOINTERFACE);

    ComPtr<IEnumConnectionPoints> points;
    ASSERT_EQ(container->EnumConnectionPoints(points.GetAddressOf()), S_OK);
    IConnectionPoint* found = nullptr;
    ULONG fetched = 0;
    ASSERT_EQ(points->Next(1, &found, &fetched), S_OK);
    EXPECT_EQ(found, point.Get());
    found->Release();
    EXPECT_EQ(points->Next(1, &found, &fetched), S_FALSE);
}

TEST_F(ConnectionPoints, SinksKeepTheirOwnersAliveAndGoWithThem) {
    auto server = NewServer();
    auto point = ShutdownPoint(server.Get());
    auto sink = MakeSink();
    DWORD cookie = 0;
    ASSERT_EQ(point->Advise(static_cast<IOPCShutdown*>(sink.Get()), &cookie), S_OK);
    EXPECT_EQ(sink->RefCount(), 2);
    const long locks = module->LockCount();
    server.Reset();
    EXPECT_EQ(module->LockCount(), locks) << "the connection point holds its server";
    point.Reset();
    EXPECT_EQ(module->LockCount(), locks - 1);
    EXPECT_EQ(sink->RefCount(), 1) << "the server released its sinks";
}

std::shared_ptr<const std::vector<std::wstring>> Words(std::vector<std::wstring> words) {
    return std::make_shared<const std::vector<std::wstring>>(std::move(words));
}

ComPtr<IEnumString> WordEnumerator(std::vector<std::wstring> words) {
    using Enum = server::SnapshotEnumerator<server::StringEnumTraits>;
    return ::opc::com::MakeComObject<Enum>(Words(std::move(words)));
}

TEST_F(ConnectionPoints, EnumeratorContract) {
    auto e = WordEnumerator({L"a", L"b", L"c"});
    ExpectEnumeratorArgumentChecks(e.Get());
    LPOLESTR one = nullptr;
    ULONG fetched = 5;
    ASSERT_EQ(e->Next(1, &one, nullptr), S_OK) << "one element needs no count";
    EXPECT_STREQ(one, L"a");
    CoTaskMemFree(one);

    // A clone continues from where its source stands and moves on its own.
    ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(Take(clone.Get(), 2, S_OK), (std::vector<std::wstring>{L"b", L"c"}));
    EXPECT_EQ(Take(e.Get(), 1, S_OK), (std::vector<std::wstring>{L"b"}));
    EXPECT_EQ(Take(e.Get(), 5, S_FALSE), (std::vector<std::wstring>{L"c"}));
    EXPECT_EQ(e->Skip(1), S_FALSE);
    EXPECT_EQ(e->Skip(0xFFFFFFFF), S_FALSE);
    EXPECT_EQ(e->Reset(), S_OK);
    EXPECT_EQ(e->Skip(2), S_OK);
    EXPECT_EQ(Take(e.Get(), 1, S_OK), (std::vector<std::wstring>{L"c"}));

    auto empty = WordEnumerator({});
    EXPECT_EQ(Take(empty.Get(), 1, S_FALSE), std::vector<std::wstring>{});
    EXPECT_EQ(empty->Skip(1), S_FALSE);

    using Enum = server::SnapshotEnumerator<server::StringEnumTraits>;
    ComPtr<IEnumString> dataless = ::opc::com::MakeComObject<Enum>(nullptr);
    EXPECT_EQ(dataless->Next(1, &one, &fetched), E_FAIL);
}

TEST_F(ConnectionPoints, EnumeratorsHoldAModuleLock) {
    const long locks = module->LockCount();
    auto e = WordEnumerator({L"a"});
    ComPtr<IEnumString> clone;
    ASSERT_EQ(e->Clone(clone.GetAddressOf()), S_OK);
    EXPECT_EQ(module->LockCount(), locks + 2);
    e.Reset();
    clone.Reset();
    EXPECT_EQ(module->LockCount(), locks);
}

} // namespace
} // namespace opc::test
