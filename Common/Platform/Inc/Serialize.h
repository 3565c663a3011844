// Objects that write themselves to and read themselves from a typed stream.
#pragma once

namespace corvane {

class IDataStream;

class ISerialize {
 public:
  // Both return 0 on success and a negative result when the stream could not
  // supply or take every byte of the object.
  virtual int Deserialize(IDataStream* stream) = 0;
  virtual int Serialize(IDataStream* stream) const = 0;
  virtual ~ISerialize() = default;
};

}  // namespace corvane
