#pragma once
// Umbrella header of the tethering framework: a manager that owns the
// transports (adapters) and the connections of remote managers, application
// profiles that exchange resources, and the records handed to the program.

#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

class QIODevice;
class QBuffer;
class QThread;

namespace tethering {
class Engine;
class Mailbox;
struct Incoming;
struct DispatchQueue;
} // namespace tethering

// One profile of a remote manager, as the manager's RemoteProfiles lists it.
struct TTetheringProfileInfo {
    QString ManagerIdentifier;
    QString ProfileIdentifier;
    QString ProfileText;
    QString ProfileGroup;
    QString ProfileType;
    QStringList AllowedConnections; // adapters through which the profile is reached
};

enum class TRemoteResourceType { Data = 0, Stream = 1 };
enum class TResourceType { Integer = 0, Single = 1, Double = 2, Int64 = 3, Boolean = 4, String = 5 };

// The value of a received resource: one of the six data types, or a stream.
class TResourceValue {
public:
    TResourceValue();
    static TResourceValue fromInteger(qint32 v);
    static TResourceValue fromSingle(float v);
    static TResourceValue fromDouble(double v);
    static TResourceValue fromInt64(qint64 v);
    static TResourceValue fromBoolean(bool v);
    static TResourceValue fromString(const QString& v);
    static TResourceValue fromStream(const QByteArray& bytes);

    TResourceType DataType() const { return m_type; }
    // The text of a String value; empty for every other type and for streams.
    QString AsString() const;
    qint32 AsInteger() const;
    float AsSingle() const;
    double AsDouble() const;
    qint64 AsInt64() const;
    bool AsBoolean() const;
    // Stream resources: the received bytes, opened for reading at position 0.
    // Valid while the resource lives; nullptr for data values.
    QIODevice* AsStream() const;

private:
    TResourceType m_type = TResourceType::String;
    QVariant m_value;
    std::shared_ptr<QByteArray> m_streamBytes;
    std::shared_ptr<QBuffer> m_stream;
};

// A resource a remote profile sent to a local profile. Lives only while the
// OnResourceReceived handler runs.
class TRemoteResource {
public:
    TRemoteResourceType ResType = TRemoteResourceType::Data;
    TResourceValue Value;
    QString Hint;                  // the sender's description, e.g. "Chat String"
    TTetheringProfileInfo Profile; // the sending profile
};

// RemoteProfiles: count and entry by index; every read hands out a copy.
class TTetheringProfileInfoList {
public:
    int Count() const { return int(m_items.size()); }
    // Throws EListError when index is outside 0 .. Count()-1.
    TTetheringProfileInfo Items(int index) const;
    TTetheringProfileInfo operator[](int index) const { return Items(index); }

private:
    friend class TTetheringManager;
    QList<TTetheringProfileInfo> m_items;
};

// Timings of the framework; tests shorten them.
struct TTetheringTimings {
    int adapterStartTimeoutMs = 2000; // the attach waits at most this long for an adapter
    int sendTimeoutMs = 5000;         // SendString waits at most this long for the peer's receipt
    int handshakeTimeoutMs = 10000;   // hello + pairing
    int frameTimeoutMs = 10000;       // a started frame must be complete by then
    int keepAliveIntervalMs = 15000;  // ping after this much silence
    int keepAliveTimeoutMs = 45000;   // close after this much silence
};

class TTetheringAppProfile;

class TTetheringManager : public QObject {
    Q_OBJECT
public:
    explicit TTetheringManager(QObject* parent = nullptr);
    ~TTetheringManager() override;

    // Settings; read when the first profile is attached (that starts the manager).
    QString Text;
    // Comma-separated adapter names: "Bluetooth", "SocketPair" (in-process pairs
    // for tests and benchmarks), "Network" (not offered by this framework).
    QString AllowedAdapters = QStringLiteral("Network");
    bool Enabled = true;
    QString Password;

    // Identifier of this manager, new for every start.
    QString Identifier() const { return m_identifier; }
    // Profiles of the remote managers that paired with this one and are still connected.
    const TTetheringProfileInfoList& RemoteProfiles() const { return m_remoteProfiles; }

    bool isStarted() const { return m_engine != nullptr; }
    // True once the Bluetooth adapter registered its service with the system's Bluetooth.
    bool isBluetoothReady() const { return m_bluetoothReady; }

    // Socket-pair transport (when AllowedAdapters names "SocketPair"): connects a
    // new socket pair, serves one end and returns the other (the caller owns
    // it), or -1.
    int CreateSocketPair();

    static void setTimings(const TTetheringTimings& timings);
    static TTetheringTimings timings();

Q_SIGNALS:
    void RemoteProfilesChanged();

private:
    friend class TTetheringAppProfile;
    void attach(TTetheringAppProfile* profile);
    void detach(TTetheringAppProfile* profile);
    void start();
    void stop();
    bool adapterAllowed(const QString& name) const;
    void onEventsWaiting();
    void dispatch();
    void deliver(const tethering::Incoming& in);
    void onRemoteProfiles(const QString& managerId, const QList<TTetheringProfileInfo>& profiles);
    void onRemoteLeft(const QString& managerId);
    TTetheringAppProfile* profileById(const QString& id) const;
    bool sendString(TTetheringAppProfile* from, const TTetheringProfileInfo& to, const QString& description,
                    const QString& text);

    QString m_identifier;
    QList<TTetheringAppProfile*> m_profiles;
    TTetheringProfileInfoList m_remoteProfiles;
    QThread* m_thread = nullptr;
    tethering::Engine* m_engine = nullptr;
    tethering::Mailbox* m_mailbox = nullptr; // runs calls on the engine's thread
    bool m_bluetoothReady = false;
    bool m_bluetoothStarted = false;
    std::unique_ptr<tethering::DispatchQueue> m_queue;
    bool m_dispatching = false;
};

class TTetheringAppProfile : public QObject {
    Q_OBJECT
public:
    explicit TTetheringAppProfile(QObject* parent = nullptr);
    ~TTetheringAppProfile() override;

    // Attaching the profile to a manager starts the manager: its adapters begin to
    // listen, bounded by TTetheringTimings::adapterStartTimeoutMs. Set Text, Group,
    // Visible and Enabled before attaching.
    void SetManager(TTetheringManager* manager);
    TTetheringManager* Manager() const { return m_manager; }
    QString Identifier() const { return m_identifier; }

    QString Text;
    QString Group;
    bool Visible = true;
    bool Enabled = true;

    // Sends a text to a connected remote profile as a temporary string resource.
    // Waits (bounded) for the remote side's receipt: true when it took the
    // resource, false when it refused it. Throws Exception when the profile is
    // not connected, the link is lost, or no receipt comes in time.
    bool SendString(const TTetheringProfileInfo& Profile, const QString& Description, const QString& Text);

Q_SIGNALS:
    // On the thread of the manager (the UI thread), one resource at a time, in
    // arrival order.
    void OnResourceReceived(QObject* Sender, const TRemoteResource& Resource);

private:
    friend class TTetheringManager;
    TTetheringManager* m_manager = nullptr;
    QString m_identifier;
};
