class C { static void Main() {} }
